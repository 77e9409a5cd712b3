// MainWindow: the main window's widgets over TfrmMain — the toolbar with the mailbox selector,
// the message list, the folder tree and preview, the status bar, the timers and the tray icon.
// Every user action goes to the logic's handler; Sync() then shows what the logic changed.
#pragma once

#include <QElapsedTimer>
#include <QIcon>
#include <QKeySequence>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <array>
#include <functional>
#include <map>
#include <vector>

#include "app/Main.h"
#include "app/Rules.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QPlainTextEdit;
class QSplitter;
class QStackedWidget;
class QTableView;
class QToolButton;
class QTimer;

namespace norva::ui {

class HtmlView;
class MessageListModel;
class MessageWindow;
class OptionsDialog;
class QtDesktop;
class TrayIcon;

class MainWindow : public QMainWindow {
  Q_OBJECT

 public:
  MainWindow(TfrmMain& main, TfrmRule& rule, QtDesktop& desktop);
  ~MainWindow() override;

  // The logic's FormCreate (caption, placement from Config.QDB, list layout), then the widgets
  // take that placement.
  void FormCreate();
  // Shows what the logic changed: rows, preview, status bar, selector, timers, the message
  // window. Runs after every command (full: the list's selection too) and while the logic pumps
  // events.
  void Sync(bool full = true);
  // Runs a logic command, then Sync.
  void Run(const std::function<void()>& command);

  TfrmMain& Logic() { return main_; }
  QTableView* List() { return lsvMail_; }
  MessageWindow* Messages() { return msgWindow_; }
  // The preferences window, created when first needed.
  OptionsDialog& Options();
  bool HasTray() const { return tray_ != nullptr; }
  // The one action of a command, shared by the toolbar, the menu bar and the pop-up menu.
  QAction* Action(const char* name) const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void BuildToolbar();
  void BuildMenu();
  void BuildStatusBar();
  QAction* MakeAction(const char* name, const QString& text, std::function<void()> run,
                      const QKeySequence& key = {}, const QIcon& icon = {});
  QWidget* BuildFilterBar();
  // The filter box or a status button changed: the logic's filter follows.
  void FilterChanged();
  void FocusFilter();
  void ShowOptions();
  void ComposeTo(const std::string& recipient);
  void PushSelection();
  void PullSelection();
  void SyncStatusBar();
  void SyncSelector();
  void SyncTimers();
  void PanelResized();

  TfrmMain& main_;
  TfrmRule& rule_;
  QtDesktop& desktop_;
  MessageListModel* model_ = nullptr;
  QTableView* lsvMail_ = nullptr;
  QSplitter* splitter_ = nullptr;
  QListWidget* trvFolder_ = nullptr;
  QStackedWidget* preview_ = nullptr;  // the preview: plain text, or an HTML message rendered
  QPlainTextEdit* redMsg_ = nullptr;
  HtmlView* redMsgHtml_ = nullptr;
  QComboBox* cmbSelAddress_ = nullptr;
  QMenu* popMail_ = nullptr;
  QSplitter* lower_ = nullptr;   // the archive folders beside the preview
  QLineEdit* filter_ = nullptr;  // the quick filter above the list
  std::array<QToolButton*, 3> show_{};  // show spam, unknown, safe rows
  std::map<QString, QAction*> actions_;
  std::array<QLabel*, 5> panels_{};
  QTimer* timer1_ = nullptr;
  QTimer* anim_ = nullptr;
  TrayIcon* tray_ = nullptr;  // none when the desktop has no tray
  MessageWindow* msgWindow_ = nullptr;
  OptionsDialog* options_ = nullptr;
  TStringList shownPreview_;
  std::string shownPreviewHtml_;
  TStringList shownFolders_;
  bool syncing_ = false;
  static constexpr qint64 kPumpInterval = 40;  // milliseconds between syncs while pumping
  QElapsedTimer synced_;                       // since the last sync
  // A new row repaints the whole list: while Norva works, the list follows less often.
  static constexpr qint64 kBusyListInterval = 200;
  QElapsedTimer listSynced_;  // since the list last caught up
  QTimer* catchUp_ = nullptr;                  // a sync skipped while pumping, made up later
  int running_ = 0;  // commands under way (Run calls, nested through the pump)
  bool noTraySaid_ = false;
  int32_t shownStatusIcon_ = -1;
};

}  // namespace norva::ui
