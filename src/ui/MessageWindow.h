// MessageWindow: the message window ("Message Editor") over TfrmMsg — reading a message, and
// writing new messages and replies.
#pragma once

#include <QMainWindow>
#include <map>
#include <string>

#include "app/Main.h"
#include "app/Msg.h"

class QAction;
class QComboBox;
class QFormLayout;
class QLineEdit;
class QPlainTextEdit;
class QStackedWidget;
class QToolButton;
class QTreeWidget;

namespace norva::ui {

class HtmlView;
class MainWindow;

class MessageWindow : public QMainWindow {
  Q_OBJECT

 public:
  MessageWindow(TfrmMain& main, TfrmMsg& model, MainWindow* mainWindow);

  // Shows the model: fields, modes, attachments, priority, and whether the window is shown.
  void Sync();
  // The widgets' texts into the model, before any command reads them.
  void PushFields();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Command(const std::function<void()>& command);
  QAction* AddButton(const char* name, const char* caption, int image,
                     const std::function<void()>& run);

  TfrmMain& main_;
  TfrmMsg& model_;
  MainWindow* mainWindow_;
  QLineEdit* edtMsgFrom_ = nullptr;  // reading: the sender
  QComboBox* cmbMsgFrom_ = nullptr;  // composing: the account the message goes from
  QComboBox* edtMsgTo_ = nullptr;
  QLineEdit* edtMsgSubject_ = nullptr;
  // Reading: every recipient and the date; the copies (composing too) and, composing, the blind
  // copies.
  QLineEdit* edtMsgToList_ = nullptr;
  QLineEdit* edtMsgCc_ = nullptr;
  QLineEdit* edtMsgBcc_ = nullptr;
  QLineEdit* edtMsgDate_ = nullptr;
  QFormLayout* fields_ = nullptr;
  // The body: plain text (reading and writing) or an HTML message rendered.
  QStackedWidget* body_ = nullptr;
  QPlainTextEdit* redMsg_ = nullptr;
  HtmlView* redMsgHtml_ = nullptr;
  QTreeWidget* lsvMsgAttach_ = nullptr;
  QToolButton* btnPriority_ = nullptr;
  std::map<std::string, QAction*> actions_;
  // What each field last showed of the model: a field is rewritten only when the model moved on,
  // never over what the user is typing.
  std::string shownFrom_, shownTo_, shownCc_, shownBcc_, shownSubject_;
  std::vector<std::string> shownFromItems_;
  int shownFromIndex_ = -1;
  std::vector<std::string> shownBody_;
  std::string shownHtml_;
  std::vector<std::string> shownToItems_;
  bool syncing_ = false;
  bool placed_ = false;
};

}  // namespace norva::ui
