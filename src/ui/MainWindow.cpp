// MainWindow: the main window's widgets over TfrmMain.
#include "ui/MainWindow.h"

#include <limits>

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/Msg.h"
#include "ui/HtmlView.h"
#include "ui/Images.h"
#include "ui/MessageListModel.h"
#include "ui/MessageWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/QtDesktop.h"
#include "ui/Text.h"
#include "ui/TrayIcon.h"

namespace norva::ui {

namespace {

// The mailbox selector refills itself from the mailboxes each time it opens.
class SelectorCombo : public QComboBox {
 public:
  std::function<void()> OnDropDown;
  void showPopup() override {
    if (OnDropDown) OnDropDown();
    QComboBox::showPopup();
  }
};

}  // namespace

MainWindow::MainWindow(TfrmMain& main, TfrmRule& rule, QtDesktop& desktop)
    : main_(main), rule_(rule), desktop_(desktop) {
  setObjectName("frmMain");
  setWindowIcon(ToolbarImage(55));

  model_ = new MessageListModel(main_, this);
  lsvMail_ = new QTableView;
  lsvMail_->setObjectName("lsvMail");
  lsvMail_->setModel(model_);
  lsvMail_->setSelectionBehavior(QAbstractItemView::SelectRows);
  lsvMail_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lsvMail_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lsvMail_->setShowGrid(false);
  lsvMail_->setWordWrap(false);
  lsvMail_->setIconSize(QSize(40, 16));
  lsvMail_->verticalHeader()->hide();
  lsvMail_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  lsvMail_->horizontalHeader()->setSectionsClickable(true);
  lsvMail_->horizontalHeader()->setHighlightSections(false);
  lsvMail_->horizontalHeader()->setStretchLastSection(false);
  lsvMail_->horizontalHeader()->setSortIndicatorShown(false);  // until the list is sorted
  // The subject takes the width the other columns leave.
  lsvMail_->horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
  lsvMail_->setContextMenuPolicy(Qt::CustomContextMenu);
  lsvMail_->installEventFilter(this);
  connect(lsvMail_->horizontalHeader(), &QHeaderView::sectionClicked, this,
          [this](int column) { Run([&] { main_.lsvMailColumnClick(column); }); });
  connect(lsvMail_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    // While Norva works the rows it works on stay chosen: the list shows the logic's selection.
    if (syncing_ || main_.Busy) return;
    Run([&] { main_.lsvMailClick(); });
  });
  connect(lsvMail_, &QTableView::doubleClicked, this,
          [this] { Run([&] { main_.lsvMailDblClick(); }); });
  connect(lsvMail_, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    if (main_.PopMailAttached) popMail_->popup(lsvMail_->viewport()->mapToGlobal(at));
  });

  trvFolder_ = new QListWidget;
  trvFolder_->setObjectName("trvFolder");
  connect(trvFolder_, &QListWidget::itemDoubleClicked, this, [this](QListWidgetItem* item) {
    main_.trvFolderIndex = trvFolder_->row(item);
    Run([&] { main_.trvFolderDblClick(); });
  });
  redMsg_ = new QPlainTextEdit;
  redMsg_->setObjectName("redMsg");
  redMsg_->setReadOnly(true);
  redMsg_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  QFont fixed("Courier New");
  fixed.setStyleHint(QFont::Monospace);
  if (!QFontInfo(fixed).fixedPitch()) fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  redMsg_->setFont(fixed);
  redMsgHtml_ = new HtmlView;
  redMsgHtml_->setObjectName("redMsgHtml");
  redMsgHtml_->OnLink = [this](const std::string& url) {
    Run([&] { main_.frmMsg->LinkClicked(url); });
  };
  preview_ = new QStackedWidget;
  preview_->addWidget(redMsg_);
  preview_->addWidget(redMsgHtml_);

  lower_ = new QSplitter(Qt::Horizontal);
  lower_->setObjectName("pnlLower");
  lower_->addWidget(trvFolder_);
  lower_->addWidget(preview_);
  lower_->setStretchFactor(1, 1);
  lower_->setSizes({140, 500});
  connect(lower_, &QSplitter::splitterMoved, this,
          [this] { main_.FolderWidth = lower_->sizes().value(0); });
  auto* upper = new QWidget;
  auto* upperLayout = new QVBoxLayout(upper);
  upperLayout->setContentsMargins(0, 0, 0, 0);
  upperLayout->setSpacing(2);
  upperLayout->addWidget(BuildFilterBar());
  upperLayout->addWidget(lsvMail_);
  splitter_ = new QSplitter(Qt::Vertical);
  splitter_->setObjectName("pnlMain");
  splitter_->addWidget(upper);
  splitter_->addWidget(lower_);
  splitter_->setChildrenCollapsible(false);
  splitter_->installEventFilter(this);  // the list keeps its share when the panel resizes
  connect(splitter_, &QSplitter::splitterMoved, this, [this] {
    const QList<int> sizes = splitter_->sizes();
    main_.pnlMainHeight = sizes[0] + sizes[1];
    main_.lsvMailHeight = sizes[0];
    main_.Splitter1Moved();
  });
  setCentralWidget(splitter_);

  BuildToolbar();
  BuildMenu();
  BuildStatusBar();

  catchUp_ = new QTimer(this);
  catchUp_->setSingleShot(true);
  catchUp_->setInterval(int(kPumpInterval));
  connect(catchUp_, &QTimer::timeout, this, [this] {
    synced_.invalidate();
    Sync(false);
  });
  timer1_ = new QTimer(this);
  timer1_->setInterval(10000);
  connect(timer1_, &QTimer::timeout, this, [this] {
    // A scheduled check waits while another command or one of its dialogs is open.
    if (!main_.Timer1Enabled || running_ > 0 || QApplication::activeModalWidget()) return;
    Run([&] { main_.Timer1Timer(); });
  });
  anim_ = new QTimer(this);
  // A frame only changes the icon, which reaches the window and tray through the desktop.
  connect(anim_, &QTimer::timeout, this, [this] {
    main_.AnimTimer();
    SyncTimers();
  });

  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    // The alarm ends; a check under way keeps its animation.
    const auto seen = [this] {
      if (main_.Busy)
        main_.AlarmSeen();
      else
        Run([&] { main_.AlarmSeen(); });
    };
    const auto show = [this, seen] {
      seen();
      showNormal();
      raise();
      activateWindow();
    };
    tray_ = new TrayIcon(main_, *this,
                         {[this] { Run([&] { main_.btnCheckMailboxClick(); }); }, show,
                          [this] { hide(); }, [this] { ComposeTo(""); },
                          [this] { ShowOptions(); }, [this] { close(); }, seen});
    tray_->Show();
    desktop_.OnNotifyFallback = [this](const QString& title, const QString& text) {
      return tray_->ShowMessage(title, text);
    };
  }
  desktop_.OnTrayIcon = [this](int index) {
    setWindowIcon(ToolbarImage(index));
    if (tray_) tray_->SetImage(index);
  };
  desktop_.SetMainWindow(this);

  msgWindow_ = new MessageWindow(main_, *main_.frmMsg, this);
  main_.frmOptions.OnFillEdtMsgTo = [this] {
    main_.frmMsg->FillEdtMsgTo();
    msgWindow_->Sync();
  };
}

MainWindow::~MainWindow() {
  delete msgWindow_;  // a top-level window of its own, over logic that goes with this one
  desktop_.OnTrayIcon = nullptr;
  desktop_.OnNotifyFallback = nullptr;
  desktop_.SetMainWindow(nullptr);
  main_.frmOptions.OnFillEdtMsgTo = nullptr;
}

void MainWindow::BuildToolbar() {
  QToolBar* bar = addToolBar("ToolBar1");
  bar->setObjectName("ToolBar1");
  bar->setMovable(false);
  bar->setIconSize(QSize(16, 16));
  auto* selector = new SelectorCombo;
  selector->setObjectName("cmbSelAddress");
  selector->setMinimumContentsLength(18);
  selector->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  selector->OnDropDown = [this] {
    main_.cmbSelAddressDropDown();
    SyncSelector();
  };
  connect(selector, QOverload<int>::of(&QComboBox::activated), this,
          [this](int index) { main_.cmbSelAddressIndex = index; });
  cmbSelAddress_ = selector;
  bar->addWidget(selector);

  struct Button {
    const char* name;
    Command image;
    const char* hint;
    std::function<void()> run;
    QKeySequence key;
  };
  const std::vector<Button> buttons = {
      {"btnCheckMailbox", Command::CheckMail, "Check mail boxes now",
       [this] { main_.btnCheckMailboxClick(); }, QKeySequence(Qt::Key_F5)},
      {"btnReadMsg", Command::ReadMsg, "Read selected messages",
       [this] { main_.btnReadMsgClick(); }, {}},
      {"btnSendMsg", Command::SendMsg, "New message", [this] { main_.btnSendMsgClick(); },
       QKeySequence(Qt::CTRL | Qt::Key_N)},
      {"btnReplyMsg", Command::ReplyMsg, "Reply", [this] { main_.btnReplyMsgClick(); },
       QKeySequence(Qt::CTRL | Qt::Key_R)},
      {nullptr, Command::CheckMail, nullptr, nullptr, {}},
      {"btnMarkSpam", Command::MarkSpam, "Mark selected messages as Spam",
       [this] { main_.btnMarkSpamClick(); }, {}},
      {"btnMarkUnknow", Command::MarkUnknown, "Mark selected messages as Unknown ",
       [this] { main_.btnMarkUnknowClick(); }, {}},
      {"btnMarkOK", Command::MarkSafe, "Mark selected messages as Safe",
       [this] { main_.btnMarkOKClick(); }, {}},
      {"btnDelete", Command::Delete, "Delete Selected", [this] { main_.btnDeleteClick(); },
       QKeySequence(Qt::Key_Delete)},
      {"btnDeleteAllSpam", Command::DeleteAllSpam, "Delete all \"spam marked\" messages",
       [this] { main_.btnDeleteAllSpamClick(); }, {}},
      {nullptr, Command::CheckMail, nullptr, nullptr, {}},
      {"btnArchive", Command::Archive, "Archive selected messages",
       [this] { main_.btnArchiveClick(); }, {}},
      {"btnOpenArchive", Command::OpenArchive, "Open an archive",
       [this] { main_.btnOpenArchiveClick(); }, {}},
      {"btnPrint", Command::Print, "Print", [this] { main_.btnPrintClick(); },
       QKeySequence(Qt::CTRL | Qt::Key_P)},
      {nullptr, Command::CheckMail, nullptr, nullptr, {}},
      {"btnConfig", Command::Config, "Configure", [this] { ShowOptions(); }, {}},
      {"btnHelp", Command::Help, "Help", [this] { main_.btnHelpClick(); }, {}},
      {"btnLogs", Command::Logs, "View Logs", [this] { main_.btnLogsClick(); }, {}},
  };
  for (const Button& b : buttons) {
    if (!b.name) {
      bar->addSeparator();
      continue;
    }
    bar->addAction(
        MakeAction(b.name, QString::fromLatin1(b.hint), b.run, b.key, CommandImage(b.image)));
  }
}

QAction* MainWindow::MakeAction(const char* name, const QString& text, std::function<void()> run,
                                const QKeySequence& key, const QIcon& icon) {
  auto* action = new QAction(icon, text, this);
  action->setObjectName(name);
  // Menus show the key beside the text; the toolbar's tooltip names it too.
  QString tip = text;
  tip.remove('&');
  if (!key.isEmpty()) {
    action->setShortcut(key);
    tip += " (" + key.toString(QKeySequence::NativeText) + ")";
  }
  action->setToolTip(tip);
  connect(action, &QAction::triggered, this, [this, run = std::move(run)] { Run(run); });
  if (key == QKeySequence(Qt::Key_Delete)) {
    // Delete acts on the list only: in the filter box it deletes characters, not mail.
    action->setShortcutContext(Qt::WidgetShortcut);
    lsvMail_->addAction(action);
  } else {
    addAction(action);  // its key works wherever the focus is in this window
  }
  actions_[QString::fromLatin1(name)] = action;
  return action;
}

QAction* MainWindow::Action(const char* name) const {
  auto found = actions_.find(QString::fromLatin1(name));
  return found == actions_.end() ? nullptr : found->second;
}

void MainWindow::BuildMenu() {
  // The commands of the pop-up menu that have no toolbar button.
  using Item = TfrmMain::TQuickRuleItem;
  MakeAction("mnuViewMessageHeaders", "Message &Headers",
             [this] { main_.mnuViewMessageHeadersClick(); });
  MakeAction("mnuViewMessageText", "Message &Text", [this] { main_.mnuViewMessageTextClick(); });
  MakeAction("mnuViewAppliedRules", "&Applied Rules",
             [this] { main_.mnuViewAppliedRulesClick(); });
  MakeAction("mnuARSSender", "This \"Sender:\" is Safe !!",
             [this] { main_.mnuARSSenderClick(Item::mnuARSSender); });
  MakeAction("mnuARSSenderDomain", "This \"Sender:\" Domain is Safe !!",
             [this] { main_.mnuARSSenderClick(Item::mnuARSSenderDomain); });
  MakeAction("mnuARASender", "This \"Sender:\" is Spam !!!",
             [this] { main_.mnuARSSenderClick(Item::mnuARASender); });
  MakeAction("mnuARASenderDomain", "This \"Sender:\" Domain is Spam !!!",
             [this] { main_.mnuARSSenderClick(Item::mnuARASenderDomain); });
  MakeAction("mnuAddBook", "Add Sender to Address &Book", [this] { main_.mnuAddBookClick(); });
  // Commands of the menu bar only.
  MakeAction("btnReplyAll", "Reply All", [this] { main_.btnReplyAllClick(); },
             QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
  MakeAction("mnuFind", "&Find", [this] { FocusFilter(); }, QKeySequence(Qt::CTRL | Qt::Key_F));
  MakeAction("mnuQuit", "&Quit", [this] { close(); }, QKeySequence(Qt::CTRL | Qt::Key_Q));

  popMail_ = new QMenu(this);
  popMail_->setObjectName("popMail");
  // The pop-up keeps its own captions; each entry runs the shared command (and shows its key).
  auto popup = [this](QMenu* menu, const char* name, const char* caption, const char* command) {
    QAction* shared = Action(command);
    auto* item = new QAction(QString::fromLatin1(caption), menu);
    item->setObjectName(name);
    item->setShortcut(shared->shortcut());
    item->setShortcutContext(Qt::WidgetShortcut);  // the key itself belongs to the shared one
    connect(item, &QAction::triggered, shared, &QAction::trigger);
    menu->addAction(item);
  };
  popup(popMail_, "mnuReply", "&Reply", "btnReplyMsg");
  popup(popMail_, "mnuArchive", "Archi&ve", "btnArchive");
  QMenu* mark = popMail_->addMenu("&Mark");
  popup(mark, "mnuMarkSpam", "as Sp&am", "btnMarkSpam");
  popup(mark, "mnuMarkUnknow", "as &Unknow", "btnMarkUnknow");
  popup(mark, "mnuMarkSafe", "as &Safe", "btnMarkOK");
  popup(popMail_, "mnuDelete", "&Delete", "btnDelete");
  popMail_->addSeparator();
  QMenu* view = popMail_->addMenu("View");
  for (const char* name : {"mnuViewMessageHeaders", "mnuViewMessageText", "mnuViewAppliedRules"})
    view->addAction(Action(name));
  popup(popMail_, "mnuPrint", "&Print", "btnPrint");
  popMail_->addSeparator();
  QMenu* safe = popMail_->addMenu("Add &Safe Rule");
  safe->addAction(Action("mnuARSSender"));
  safe->addAction(Action("mnuARSSenderDomain"));
  QMenu* spam = popMail_->addMenu("Add Sp&am Rule");
  spam->addAction(Action("mnuARASender"));
  spam->addAction(Action("mnuARASenderDomain"));
  popMail_->addAction(Action("mnuAddBook"));

  // The menu bar holds every command; a null name is a separator.
  struct Menu {
    const char* title;
    std::vector<const char*> items;
  };
  const std::vector<Menu> menus = {
      {"&File",
       {"btnSendMsg", "btnCheckMailbox", "btnOpenArchive", nullptr, "btnPrint", nullptr,
        "mnuQuit"}},
      {"&Message",
       {"btnReadMsg", "btnReplyMsg", "btnReplyAll", nullptr, "btnMarkSpam", "btnMarkUnknow",
        "btnMarkOK", nullptr, "btnDelete", "btnDeleteAllSpam", nullptr, "btnArchive", nullptr,
        "mnuARSSender", "mnuARSSenderDomain", "mnuARASender", "mnuARASenderDomain", "mnuAddBook"}},
      {"&View", {"mnuViewMessageHeaders", "mnuViewMessageText", "mnuViewAppliedRules", nullptr,
                 "mnuFind"}},
      {"&Tools", {"btnConfig"}},
      {"&Help", {"btnHelp", "btnLogs"}},
  };
  for (const Menu& m : menus) {
    QMenu* menu = menuBar()->addMenu(QString::fromLatin1(m.title));
    for (const char* name : m.items) {
      if (name)
        menu->addAction(Action(name));
      else
        menu->addSeparator();
    }
  }
}

QWidget* MainWindow::BuildFilterBar() {
  auto* bar = new QWidget;
  auto* layout = new QHBoxLayout(bar);
  layout->setContentsMargins(2, 2, 2, 0);
  filter_ = new QLineEdit;
  filter_->setObjectName("edtFilter");
  filter_->setClearButtonEnabled(true);
  filter_->setPlaceholderText("Filter: sender or subject contains... (Ctrl+F)");
  filter_->installEventFilter(this);  // Escape clears it
  layout->addWidget(filter_, 1);
  connect(filter_, &QLineEdit::textChanged, this, [this] { FilterChanged(); });
  const char* const names[] = {"btnShowSpam", "btnShowUnknown", "btnShowSafe"};
  const char* const captions[] = {"Spam", "Unknown", "Safe"};
  for (int i = 0; i < 3; ++i) {
    auto* button = new QToolButton;
    button->setObjectName(names[i]);
    button->setText(captions[i]);
    button->setIcon(MailImage(i));
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    button->setCheckable(true);
    button->setChecked(true);
    button->setToolTip(QString("Show messages marked %1").arg(QString(captions[i]).toLower()));
    connect(button, &QToolButton::toggled, this, [this] { FilterChanged(); });
    layout->addWidget(button);
    show_[size_t(i)] = button;
  }
  return bar;
}

void MainWindow::FilterChanged() {
  TfrmMain::TListFilter filter;
  filter.Text = FromQt(filter_->text());
  for (size_t i = 0; i < show_.size(); ++i) filter.Show[i] = show_[i]->isChecked();
  if (filter == main_.ListFilter) return;
  PushSelection();
  main_.SetListFilter(filter);
  Sync();
}

void MainWindow::FocusFilter() {
  filter_->setFocus(Qt::ShortcutFocusReason);
  filter_->selectAll();
}

void MainWindow::BuildStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName("StatusBar");
  bar->setSizeGripEnabled(true);
  for (size_t i = 0; i < panels_.size(); ++i) {
    panels_[i] = new QLabel;
    panels_[i]->setObjectName(QString("StatusPanel%1").arg(i));
    panels_[i]->setTextFormat(Qt::PlainText);  // server replies are shown, never rendered
    panels_[i]->setFrameShape(QFrame::StyledPanel);
    panels_[i]->setFrameShadow(QFrame::Sunken);
    bar->addWidget(panels_[i], i == 4 ? 1 : 0);
  }
  panels_[0]->setFixedWidth(22);
  panels_[0]->setAlignment(Qt::AlignCenter);
  bar->installEventFilter(this);
  for (QLabel* panel : panels_) panel->installEventFilter(this);
}

void MainWindow::FormCreate() {
  main_.FormCreate();
  setGeometry(main_.Left, main_.Top, main_.Width, main_.Height);
  for (int i = 0; i < 5; ++i) lsvMail_->setColumnWidth(i, main_.lsvMailColumns[size_t(i)]);
  // The fitted columns fit their content in bold too, as new messages show it.
  QFont bold = lsvMail_->font();
  bold.setBold(true);
  const QFontMetrics metrics(bold);
  const char* const widest[] = {"25.25.25 25:25", "5555555", "555"};
  for (int i = 2; i < 5; ++i)
    lsvMail_->setColumnWidth(
        i, std::max(lsvMail_->columnWidth(i), metrics.horizontalAdvance(widest[i - 2]) + 15));
  lsvMail_->setFocus();  // the list, not the filter box, has the keys at start
  lower_->setSizes({main_.FolderWidth, std::max(main_.Width - main_.FolderWidth, 100)});
  PanelResized();
  Sync();
}

void MainWindow::PanelResized() {
  const QList<int> sizes = splitter_->sizes();
  const int total = sizes.value(0) + sizes.value(1);
  if (total <= 0) return;
  main_.pnlMainHeight = total;
  main_.pnlMainResize();
  splitter_->setSizes({main_.lsvMailHeight, total - main_.lsvMailHeight});
}

void MainWindow::Run(const std::function<void()>& command) {
  PushSelection();
  // A command may ask about, or replace, what the message window holds: it sees what is typed.
  if (msgWindow_) msgWindow_->PushFields();
  ++running_;
  try {
    command();
  } catch (const std::exception& e) {
    desktop_.ShowError(e.what());
  }
  --running_;
  Sync();
}

void MainWindow::PushSelection() {
  if (syncing_ || main_.Busy) return;
  auto& rows = main_.lsvMail;
  for (TListRow& row : rows) row.Selected = row.Focused = false;
  QItemSelectionModel* selection = lsvMail_->selectionModel();
  for (const QItemSelectionRange& range : selection->selection())
    for (int i = range.top(); i <= range.bottom(); ++i)
      if (const int row = model_->LogicRow(i); row >= 0 && size_t(row) < rows.size())
        rows[size_t(row)].Selected = true;
  const int current = model_->LogicRow(selection->currentIndex().row());
  if (current >= 0 && size_t(current) < rows.size()) rows[size_t(current)].Focused = true;
}

void MainWindow::PullSelection() {
  // Runs of selected rows become one range each, so that large selections stay cheap.
  QItemSelection chosen;
  int focused = -1;
  const auto& rows = main_.lsvMail;
  auto selected = [&](int modelRow) {
    const int row = model_->LogicRow(modelRow);
    return row >= 0 && size_t(row) < rows.size() && rows[size_t(row)].Selected;
  };
  auto isFocused = [&](int modelRow) {
    const int row = model_->LogicRow(modelRow);
    return row >= 0 && size_t(row) < rows.size() && rows[size_t(row)].Focused;
  };
  const int count = model_->rowCount();
  for (int i = 0; i < count; ++i) {
    if (isFocused(i)) focused = i;
    if (!selected(i)) continue;
    int last = i;
    while (last + 1 < count && selected(last + 1)) {
      ++last;
      if (isFocused(last)) focused = last;
    }
    chosen.select(model_->index(i, 0), model_->index(last, 4));
    i = last;
  }
  QItemSelectionModel* selection = lsvMail_->selectionModel();
  if (selection->selection() != chosen)
    selection->select(chosen, QItemSelectionModel::ClearAndSelect);
  if (focused >= 0 && selection->currentIndex().row() != focused)
    selection->setCurrentIndex(model_->index(focused, 0), QItemSelectionModel::NoUpdate);
}

void MainWindow::Sync(bool full) {
  if (syncing_) return;
  // Each change repaints (a new row the whole list, a count the status bar): while the logic
  // pumps, a check adding a row per header, the windows catch up at most every kPumpInterval.
  // The timer brings the last changes when no turn follows soon, as under a modal box.
  if (!full && synced_.isValid() && !synced_.hasExpired(kPumpInterval)) {
    if (!catchUp_->isActive()) catchUp_->start();
    return;
  }
  catchUp_->stop();
  synced_.start();
  syncing_ = true;
  // The first rows of a check show at once; later ones with the list's next catch-up.
  const bool firstRows = model_->rowCount() == 0 && !main_.lsvMail.empty();
  if (full || firstRows || !main_.Busy || !listSynced_.isValid() ||
      listSynced_.hasExpired(kBusyListInterval)) {
    listSynced_.start();
    // The rows on screen (rowAt is -1 below the last row); none while the window is hidden.
    int top = 0, bottom = -1;
    if (lsvMail_->isVisible()) {
      top = std::max(lsvMail_->rowAt(0), 0);
      bottom = lsvMail_->rowAt(lsvMail_->viewport()->height() - 1);
      if (bottom < 0) bottom = std::numeric_limits<int>::max();
    }
    if (model_->Sync(top, bottom) || full) PullSelection();
  } else if (!catchUp_->isActive()) {
    catchUp_->start();  // the rows come with a later turn, or with this one after the work
  }
  QHeaderView* header = lsvMail_->horizontalHeader();
  header->setSortIndicatorShown(main_.SortColumn >= 0);
  const Qt::SortOrder order = main_.SortDescending ? Qt::DescendingOrder : Qt::AscendingOrder;
  if (header->sortIndicatorSection() != main_.SortColumn || header->sortIndicatorOrder() != order)
    header->setSortIndicator(main_.SortColumn, order);
  if (main_.redMsg != shownPreview_) {
    shownPreview_ = main_.redMsg;
    redMsg_->setPlainText(ShownLines(shownPreview_));
  }
  if (main_.redMsgHtml != shownPreviewHtml_) {
    shownPreviewHtml_ = main_.redMsgHtml;
    redMsgHtml_->SetMessageHtml(shownPreviewHtml_);
  }
  preview_->setCurrentWidget(shownPreviewHtml_.empty() ? static_cast<QWidget*>(redMsg_)
                                                       : redMsgHtml_);
  if (main_.trvFolder != shownFolders_) {
    shownFolders_ = main_.trvFolder;
    trvFolder_->clear();
    for (const std::string& name : shownFolders_) trvFolder_->addItem(ToQt(name));
  }
  trvFolder_->setVisible(!shownFolders_.empty());
  setWindowTitle(
      ToQt(main_.ArchiveView ? main_.Caption + "  -  " + main_.ArchiveViewFile : main_.Caption));
  SyncStatusBar();
  SyncTimers();
  if (!cmbSelAddress_->view()->isVisible()) SyncSelector();
  msgWindow_->Sync();
  syncing_ = false;
}

void MainWindow::SyncStatusBar() {
  if (shownStatusIcon_ != main_.StatusIcon) {
    shownStatusIcon_ = main_.StatusIcon;
    panels_[0]->setPixmap(StatusImage(main_.StatusIcon));
  }
  for (size_t i = 1; i < panels_.size(); ++i) {
    const QString text = ShownText(main_.StatusBar[i].Text);
    if (panels_[i]->text() != text) panels_[i]->setText(text);
    if (i < 4) panels_[i]->setMinimumWidth(std::max(main_.StatusBar[i].Width, 10));
  }
}

void MainWindow::SyncSelector() {
  QStringList items;
  for (const std::string& item : main_.cmbSelAddress) items << ToQt(item);
  QStringList shown;
  for (int i = 0; i < cmbSelAddress_->count(); ++i) shown << cmbSelAddress_->itemText(i);
  if (items != shown) {
    cmbSelAddress_->clear();
    cmbSelAddress_->addItems(items);
  }
  if (cmbSelAddress_->currentIndex() != main_.cmbSelAddressIndex)
    cmbSelAddress_->setCurrentIndex(main_.cmbSelAddressIndex);
}

void MainWindow::SyncTimers() {
  if (main_.Timer1Enabled && !timer1_->isActive()) timer1_->start();
  if (main_.AnimEnabled) {
    if (anim_->interval() != main_.AnimInterval) anim_->setInterval(main_.AnimInterval);
    if (!anim_->isActive()) anim_->start();
  } else if (anim_->isActive()) {
    anim_->stop();
  }
  if (!tray_ && !noTraySaid_ && isVisible()) {
    noTraySaid_ = true;
    main_.StatusBar[4].Text = "This desktop has no system tray: Norva runs without a tray icon.";
    panels_[4]->setText(ShownText(main_.StatusBar[4].Text));
  }
}

OptionsDialog& MainWindow::Options() {
  // One preferences window for the whole run: its pages remember what is still to be stored.
  if (!options_) {
    options_ = new OptionsDialog(this, main_, rule_);
    options_->OnAccountDeleting = [this](MailboxAccount& account) {
      main_.ForgetAccount(account);
      Sync();
    };
    options_->ComposeTo = [this](const std::string& recipient) { ComposeTo(recipient); };
    options_->IsBusy = [this] { return main_.Busy; };
  }
  return *options_;
}

void MainWindow::ShowOptions() {
  if (!main_.btnConfigClick()) return;
  Options().exec();
  main_.cmbSelAddressDropDown();
  main_.NextCheckCalc();
}

void MainWindow::ComposeTo(const std::string& recipient) {
  if (main_.ComposeTo(recipient)) Sync();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // A message being written is not dropped without asking.
  if (msgWindow_->isVisible() && !msgWindow_->close()) {
    event->ignore();
    return;
  }
  // A running check or send is stopped first; the window closes once it has ended.
  if (main_.Busy || running_ > 0) {
    Run([&] { main_.StatusBarDblClick(); });
    event->ignore();
    QTimer::singleShot(200, this, [this] { close(); });
    return;
  }
  const QRect frame = normalGeometry();
  main_.Left = frame.x();
  main_.Top = frame.y();
  main_.Width = frame.width();
  main_.Height = frame.height();
  for (int i = 0; i < 5; ++i) main_.lsvMailColumns[size_t(i)] = lsvMail_->columnWidth(i);
  main_.FormCloseQuery();
  msgWindow_->hide();
  if (tray_) tray_->Hide();
  event->accept();
  QApplication::quit();
}

void MainWindow::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Minimised, the window lives on as the tray icon only.
  if (event->type() == QEvent::WindowStateChange && tray_ && isMinimized() &&
      QSystemTrayIcon::isSystemTrayAvailable())
    QTimer::singleShot(0, this, [this] { hide(); });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == splitter_ && event->type() == QEvent::Resize) {
    const bool handled = QMainWindow::eventFilter(watched, event);
    QTimer::singleShot(0, this, [this] { PanelResized(); });
    return handled;
  }
  if (event->type() == QEvent::MouseButtonDblClick &&
      (watched == statusBar() || watched->parent() == statusBar())) {
    // The stop command: the one command that works while Norva is busy.
    Run([&] { main_.StatusBarDblClick(); });
    return true;
  }
  if (watched == filter_ && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
    filter_->clear();
    lsvMail_->setFocus();
    return true;
  }
  if (watched == lsvMail_ && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !main_.Busy) {
      Run([&] { main_.lsvMailDblClick(); });
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

}  // namespace norva::ui
