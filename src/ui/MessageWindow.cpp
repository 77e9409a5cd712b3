// MessageWindow: the message window's widgets over TfrmMsg.
#include "ui/MessageWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/HtmlView.h"
#include "ui/Images.h"
#include "ui/MainWindow.h"
#include "ui/Text.h"

namespace norva::ui {

namespace {

// A window title shows "[*]" only doubled: once, it stands for the modified mark.
QString TitleText(const std::string& text) {
  return ShownText(text).replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

QLineEdit* ReadOnlyField(const char* name) {
  auto* field = new QLineEdit;
  field->setObjectName(name);
  field->setReadOnly(true);
  return field;
}

}  // namespace

MessageWindow::MessageWindow(TfrmMain& main, TfrmMsg& model, MainWindow* mainWindow)
    : QMainWindow(nullptr), main_(main), model_(model), mainWindow_(mainWindow) {
  setObjectName("frmMsg");
  setWindowTitle(TfrmMsg::kEditorCaption);
  setWindowIcon(ToolbarImage(55));

  QToolBar* bar = addToolBar("Message");
  bar->setMovable(false);
  bar->setIconSize(QSize(16, 16));
  AddButton("btnCut", "Cut", int(Command::Cut), [this] { redMsg_->cut(); });
  AddButton("btnCopy", "Copy", int(Command::Copy), [this] {
    if (body_->currentWidget() == redMsgHtml_)
      redMsgHtml_->copy();
    else
      redMsg_->copy();
  });
  AddButton("btnPaste", "Paste", int(Command::Paste), [this] { redMsg_->paste(); });
  bar->addSeparator();
  AddButton("btnReply", "Reply", int(Command::ReplyMsg), [this] { model_.btnReplyClick(); });
  AddButton("btnReplyAll", "Reply All", int(Command::ReplyMsg),
            [this] { model_.btnReplyAllClick(); });
  AddButton("btnShowHeader", "Switch Header/Body", int(Command::ShowHeader),
            [this] { model_.btnShowHeaderClick(); });
  AddButton("btnSend", "Send Message", int(Command::Send), [this] { model_.btnSendClick(); });
  bar->addSeparator();
  AddButton("btnDeAttach", "Detach File", int(Command::Detach),
            [this] { model_.btnDeAttachClick(); });
  AddButton("btnAttach", "Attach File", int(Command::Attach), [this] { model_.btnAttachClick(); });

  btnPriority_ = new QToolButton;
  btnPriority_->setObjectName("btnPriority");
  btnPriority_->setToolTip("Priority");
  btnPriority_->setPopupMode(QToolButton::InstantPopup);
  auto* popPriority = new QMenu(btnPriority_);
  popPriority->setObjectName("popPriority");
  auto* group = new QActionGroup(popPriority);
  const struct {
    const char* name;
    const char* caption;
    int tag;
  } items[] = {{"N2LowPriority1", "Low Priority", 22},
               {"N3NormalPriority1", "Normal Priority", 23},
               {"N4HighPriority1", "High Priority", 24}};
  for (const auto& item : items) {
    QAction* action = popPriority->addAction(ToolbarImage(item.tag), item.caption);
    action->setObjectName(item.name);
    action->setCheckable(true);
    action->setActionGroup(group);
    if (item.tag == 23) popPriority->setDefaultAction(action);
    connect(action, &QAction::triggered, this,
            [this, tag = item.tag] { Command([&] { model_.N1LowestPriority1Click(tag); }); });
    actions_[item.name] = action;
  }
  btnPriority_->setMenu(popPriority);
  bar->addWidget(btnPriority_);
  bar->addSeparator();
  AddButton("btnPrevMessage", "Previous Message", int(Command::PrevMessage),
            [this] { model_.btnPrevMessageClick(); });
  AddButton("btnNextMessage", "Next Message", int(Command::NextMessage),
            [this] { model_.btnNextMessageClick(); });

  edtMsgFrom_ = ReadOnlyField("edtMsgFrom");
  cmbMsgFrom_ = new QComboBox;
  cmbMsgFrom_->setObjectName("cmbMsgFrom");
  cmbMsgFrom_->setToolTip("The account the message is sent from");
  edtMsgTo_ = new QComboBox;
  edtMsgTo_->setObjectName("edtMsgTo");
  edtMsgTo_->setEditable(true);
  edtMsgTo_->setInsertPolicy(QComboBox::NoInsert);
  edtMsgSubject_ = new QLineEdit;
  edtMsgSubject_->setObjectName("edtMsgSubject");
  edtMsgToList_ = ReadOnlyField("edtMsgToList");
  edtMsgCc_ = ReadOnlyField("edtMsgCc");
  edtMsgBcc_ = new QLineEdit;
  edtMsgBcc_->setObjectName("edtMsgBcc");
  for (QLineEdit* copies : {edtMsgCc_, edtMsgBcc_})
    copies->setPlaceholderText("Name <address>, ... (separated by commas)");
  edtMsgDate_ = ReadOnlyField("edtMsgDate");
  // Lines wrap at the pane's width; what the user types keeps only the breaks typed.
  redMsg_ = new QPlainTextEdit;
  redMsg_->setObjectName("redMsg");
  redMsg_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  redMsgHtml_ = new HtmlView;
  redMsgHtml_->setObjectName("redMsgHtml");
  redMsgHtml_->OnLink = [this](const std::string& url) {
    Command([&] { model_.LinkClicked(url); });
  };
  body_ = new QStackedWidget;
  body_->addWidget(redMsg_);
  body_->addWidget(redMsgHtml_);
  lsvMsgAttach_ = new QTreeWidget;
  lsvMsgAttach_->setObjectName("lsvMsgAttach");
  lsvMsgAttach_->setRootIsDecorated(false);
  lsvMsgAttach_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lsvMsgAttach_->setHeaderLabels({"Attach", "Size"});
  lsvMsgAttach_->headerItem()->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
  lsvMsgAttach_->setColumnWidth(0, 120);
  lsvMsgAttach_->setColumnWidth(1, 55);
  lsvMsgAttach_->setContextMenuPolicy(Qt::ActionsContextMenu);
  const struct {
    const char* name;
    const char* caption;
    std::function<void()> run;
  } menu[] = {{"mnuAttach", "Attach", [this] { model_.btnAttachClick(); }},
              {"mnuDetach", "Detach", [this] { model_.btnDeAttachClick(); }},
              {"mnuLaunch", "Launch", [this] { model_.lsvMsgAttachDblClick(); }},
              {"mnuAttachSaveAs", "Save As", [this] { model_.mnuAttachSaveAsClick(); }}};
  for (const auto& item : menu) {
    auto* action = new QAction(item.caption, lsvMsgAttach_);
    action->setObjectName(item.name);
    connect(action, &QAction::triggered, this, [this, run = item.run] { Command(run); });
    lsvMsgAttach_->addAction(action);
    actions_[item.name] = action;
  }
  connect(lsvMsgAttach_, &QTreeWidget::itemDoubleClicked, this,
          [this] { Command([&] { model_.lsvMsgAttachDblClick(); }); });

  fields_ = new QFormLayout;
  fields_->addRow("From:", edtMsgFrom_);
  fields_->addRow("From:", cmbMsgFrom_);
  fields_->addRow("To:", edtMsgTo_);
  fields_->addRow("To:", edtMsgToList_);
  fields_->addRow("Cc:", edtMsgCc_);
  fields_->addRow("Bcc:", edtMsgBcc_);
  fields_->addRow("Date:", edtMsgDate_);
  fields_->addRow("Subject:", edtMsgSubject_);
  auto* split = new QSplitter(Qt::Horizontal);
  split->addWidget(body_);
  split->addWidget(lsvMsgAttach_);
  split->setStretchFactor(0, 1);
  split->setSizes({420, 180});
  auto* body = new QWidget;
  auto* layout = new QVBoxLayout(body);
  layout->addLayout(fields_);
  layout->addWidget(split, 1);
  setCentralWidget(body);
  resize(TfrmMsg::kDesignWidth, TfrmMsg::kDesignHeight);
}

QAction* MessageWindow::AddButton(const char* name, const char* caption, int image,
                                  const std::function<void()>& run) {
  QToolBar* bar = findChild<QToolBar*>();
  QAction* action = bar->addAction(CommandImage(static_cast<ui::Command>(image)), caption);
  action->setObjectName(name);
  action->setToolTip(caption);
  connect(action, &QAction::triggered, this, [this, run] { Command(run); });
  actions_[name] = action;
  return action;
}

void MessageWindow::PushFields() {
  for (int i = 0; i < lsvMsgAttach_->topLevelItemCount() && size_t(i) < model_.lsvMsgAttach.size();
       ++i)
    model_.lsvMsgAttach[size_t(i)].Selected = lsvMsgAttach_->topLevelItem(i)->isSelected();
  if (model_.ReadOnly) return;
  if (cmbMsgFrom_->currentIndex() >= 0 && cmbMsgFrom_->currentIndex() != model_.FromIndex)
    model_.SelectFrom(cmbMsgFrom_->currentIndex());
  shownFromIndex_ = model_.FromIndex;
  shownFrom_ = model_.edtMsgFrom;
  model_.edtMsgTo = shownTo_ = FromQt(edtMsgTo_->currentText());
  model_.edtMsgCc = shownCc_ = FromQt(edtMsgCc_->text());
  model_.edtMsgBcc = shownBcc_ = FromQt(edtMsgBcc_->text());
  model_.edtMsgSubject = shownSubject_ = FromQt(edtMsgSubject_->text());
  model_.redMsg = LinesFromQt(redMsg_->toPlainText());
  shownBody_ = model_.redMsg;
}

void MessageWindow::Command(const std::function<void()>& command) {
  PushFields();
  mainWindow_->Run(command);
}

void MessageWindow::Sync() {
  if (syncing_) return;
  syncing_ = true;
  auto set = [this](QLineEdit* edit, const std::string& text, std::string& shown) {
    if (text == shown) return;
    shown = text;
    edit->setText(model_.ReadOnly ? ShownText(text) : ToQt(text));
    edit->setCursorPosition(0);  // a long line shows its beginning
  };
  set(edtMsgFrom_, model_.edtMsgFrom, shownFrom_);
  set(edtMsgSubject_, model_.edtMsgSubject, shownSubject_);
  set(edtMsgCc_, model_.edtMsgCc, shownCc_);
  set(edtMsgBcc_, model_.edtMsgBcc, shownBcc_);
  if (model_.edtMsgFromItems != shownFromItems_ || model_.FromIndex != shownFromIndex_) {
    if (model_.edtMsgFromItems != shownFromItems_) {
      shownFromItems_ = model_.edtMsgFromItems;
      cmbMsgFrom_->clear();
      for (const std::string& item : shownFromItems_) cmbMsgFrom_->addItem(ToQt(item));
    }
    shownFromIndex_ = model_.FromIndex;
    cmbMsgFrom_->setCurrentIndex(shownFromIndex_);
  }
  // One account leaves nothing to choose.
  cmbMsgFrom_->setEnabled(shownFromItems_.size() > 1);
  // Composing, the To box is an editable drop-down of the address book; reading, a read-only
  // line of every recipient, with the copies and the date under it.
  const bool reading = model_.ReadOnly;
  if (model_.edtMsgToItems != shownToItems_) {
    const QString typed = edtMsgTo_->currentText();  // a new address book keeps what is typed
    shownToItems_ = model_.edtMsgToItems;
    edtMsgTo_->clear();
    for (const std::string& item : shownToItems_) edtMsgTo_->addItem(ToQt(item));
    edtMsgTo_->setEditText(typed);
  }
  if (model_.edtMsgTo != shownTo_) {
    // The hidden box follows too, so that composing starts from what the model holds.
    shownTo_ = model_.edtMsgTo;
    edtMsgTo_->setEditText(ToQt(shownTo_));
  }
  auto fill = [](QLineEdit* field, const std::string& text) {
    const QString value = ShownText(text);
    if (field->text() == value) return;  // a selection the user is making stays
    field->setText(value);
    field->setCursorPosition(0);
  };
  fill(edtMsgToList_, reading ? model_.edtMsgTo : std::string());
  fill(edtMsgDate_, model_.edtMsgDate);
  // Composing from an account, the From line is the choice of accounts.
  const bool choice = !reading && !shownFromItems_.empty();
  fields_->setRowVisible(edtMsgFrom_, !choice);
  fields_->setRowVisible(cmbMsgFrom_, choice);
  fields_->setRowVisible(edtMsgTo_, !reading);
  fields_->setRowVisible(edtMsgToList_, reading);
  fields_->setRowVisible(edtMsgCc_, !reading || !model_.edtMsgCc.empty());
  fields_->setRowVisible(edtMsgBcc_, !reading);
  fields_->setRowVisible(edtMsgDate_, reading);
  if (model_.redMsg != shownBody_) {
    shownBody_ = model_.redMsg;
    redMsg_->setPlainText(LinesToQt(shownBody_));
    redMsg_->moveCursor(QTextCursor::Start);
    redMsg_->ensureCursorVisible();
  }
  if (model_.redMsgHtml != shownHtml_) {
    shownHtml_ = model_.redMsgHtml;
    redMsgHtml_->SetMessageHtml(shownHtml_);
  }
  body_->setCurrentWidget(shownHtml_.empty() ? static_cast<QWidget*>(redMsg_) : redMsgHtml_);
  setWindowTitle(TitleText(model_.Caption));
  // Rows carry the attachment's name or path and its size.
  bool same = lsvMsgAttach_->topLevelItemCount() == int(model_.lsvMsgAttach.size());
  for (int i = 0; same && i < lsvMsgAttach_->topLevelItemCount(); ++i)
    same = lsvMsgAttach_->topLevelItem(i)->text(0) == ShownText(model_.lsvMsgAttach[size_t(i)].Caption);
  // Reading a message without attachments, the text takes the whole width.
  lsvMsgAttach_->setVisible(!reading || !model_.lsvMsgAttach.empty());
  if (!same) {
    lsvMsgAttach_->clear();
    for (const TAttachRow& row : model_.lsvMsgAttach) {
      auto* item = new QTreeWidgetItem({ShownText(row.Caption), ToQt(row.Size)});
      item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
      lsvMsgAttach_->addTopLevelItem(item);
    }
  }

  edtMsgCc_->setReadOnly(model_.ReadOnly);
  edtMsgSubject_->setReadOnly(model_.ReadOnly);
  redMsg_->setReadOnly(model_.ReadOnly);
  const std::pair<const char*, bool> enabled[] = {
      {"btnSend", model_.btnSend},         {"btnCut", model_.btnCut},
      {"btnPaste", model_.btnPaste},       {"btnAttach", model_.btnAttach},
      {"btnDeAttach", model_.btnDeAttach}, {"mnuAttach", model_.mnuAttach},
      {"mnuDetach", model_.mnuDetach},     {"btnShowHeader", model_.btnShowHeader},
      {"btnReply", model_.btnReply},       {"btnReplyAll", model_.btnReplyAll},
      {"mnuLaunch", model_.mnuLaunch},     {"mnuAttachSaveAs", model_.mnuLaunch}};
  for (const auto& [name, on] : enabled) actions_[name]->setEnabled(on);
  btnPriority_->setIcon(ToolbarImage(model_.PriorityImage));
  btnPriority_->setPopupMode(model_.PriorityMenu ? QToolButton::InstantPopup
                                                 : QToolButton::DelayedPopup);
  btnPriority_->menu()->setEnabled(model_.PriorityMenu);
  const char* checked = model_.PriorityImage == 22   ? "N2LowPriority1"
                        : model_.PriorityImage == 24 ? "N4HighPriority1"
                                                     : "N3NormalPriority1";
  actions_[checked]->setChecked(true);

  if (model_.Visible && !isVisible()) {
    if (!placed_) {
      placed_ = true;
      setGeometry(model_.Left, model_.Top, model_.Width, model_.Height);
    }
    show();
    raise();
    activateWindow();
  } else if (!model_.Visible && isVisible()) {
    hide();
  }
  syncing_ = false;
}

void MessageWindow::closeEvent(QCloseEvent* event) {
  PushFields();
  const QRect frame = normalGeometry();
  model_.Left = frame.x();
  model_.Top = frame.y();
  model_.Width = frame.width();
  model_.Height = frame.height();
  if (!model_.FormCloseQuery()) {
    event->ignore();
    return;
  }
  model_.Visible = false;
  event->accept();
}

}  // namespace norva::ui
