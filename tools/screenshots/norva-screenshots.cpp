// norva-screenshots FOLDER OUTDIR: starts Norva over a prepared program folder, checks its
// mailboxes and saves pictures of the main window, the filter, a menu, a message being read,
// every preferences page, the rule editor and the first-run dialog into OUTDIR. Message boxes
// are answered at once instead of shown.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>

#include "app/Msg.h"
#include "ui/AccountSetupDialog.h"
#include "ui/Application.h"
#include "ui/MessageWindow.h"
#include "ui/OptionsDialog.h"
#include "ui/RuleDialog.h"

namespace {

class AnsweringDesktop : public norva::ui::QtDesktop {
 public:
  Result MessageBox(const std::string& text, const std::string&, int, Icon, bool) override {
    std::fprintf(stderr, "[box] %s\n", text.c_str());
    return mrOK;
  }
  void ShowError(const std::string& text) override {
    std::fprintf(stderr, "[error] %s\n", text.c_str());
  }
};

void Save(QWidget& widget, const QDir& out, const QString& name) {
  QCoreApplication::processEvents();
  const QString path = out.filePath(name + ".png");
  if (!widget.grab().save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  std::printf("%s\n", qPrintable(path));
}

// What the screen shows inside rect: menus are windows of their own, which a grab of the main
// window leaves out.
void SaveScreen(const QRect& rect, const QDir& out, const QString& name) {
  QCoreApplication::processEvents();
  const QString path = out.filePath(name + ".png");
  const QPixmap screen = QGuiApplication::primaryScreen()->grabWindow(0);
  if (!screen.copy(rect).save(path)) std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  std::printf("%s\n", qPrintable(path));
}

void Wait(int ms) {
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("N o r v a");
  if (argc != 3) {
    std::fprintf(stderr, "usage: norva-screenshots FOLDER OUTDIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[2]));
  QDir().mkpath(out.path());
  norva::ui::Application norva(QDir(argv[1]).absolutePath().toStdString(),
                               std::make_unique<AnsweringDesktop>());
  norva.Start();
  norva::ui::MainWindow& window = norva.Window();
  window.setGeometry(40, 40, 980, 640);
  window.Run([&] { norva.Main().CheckMail(true, -1); });
  norva::TfrmMain& main = norva.Main();
  // The first row selected, its header lines in the preview.
  if (!main.lsvMail.empty()) window.List()->selectRow(0);
  Save(window, out, "main-window");

  // The quick filter at work, then the Message menu open over the window.
  if (auto* filter = window.findChild<QLineEdit*>("edtFilter")) {
    filter->setText("free");
    Save(window, out, "filter");
    filter->clear();
  }
  window.show();
  window.raise();
  window.activateWindow();
  Wait(300);
  if (QMenu* menu = window.menuBar()->actions().value(1)->menu()) {
    const QRect item = window.menuBar()->actionGeometry(window.menuBar()->actions().value(1));
    menu->popup(window.menuBar()->mapToGlobal(item.bottomLeft()));
    Wait(300);
    SaveScreen(window.frameGeometry().united(menu->geometry()), out, "menus");
    menu->hide();
  }

  // A message being read: the largest one, which is the one most likely to carry attachments.
  if (!main.lsvMail.empty()) {
    int largest = 0;
    for (size_t i = 0; i < main.lsvMail.size(); ++i)
      if (main.lsvMail[i].Data &&
          main.lsvMail[i].Data->Size > main.lsvMail[size_t(largest)].Data->Size)
        largest = int(i);
    window.List()->selectRow(largest);
    window.Run([&] { main.lsvMailDblClick(); });
    window.Messages()->resize(760, 520);
    Save(*window.Messages(), out, "message");
    // Reply All to it: the recipients, the account it came to, the attribution over the quote.
    window.Run([&] { main.frmMsg->btnReplyAllClick(); });
    Save(*window.Messages(), out, "reply");
    window.Messages()->hide();
  }

  // The learner taught as a user who agrees with the rules would: their spam and safe rows
  // marked so.
  for (const uint8_t status : {0, 2}) {
    for (norva::TListRow& row : main.lsvMail) row.Selected = row.Data && row.Data->Status == status;
    status == 0 ? main.btnMarkSpamClick() : main.btnMarkOKClick();
  }
  window.Sync(true);

  norva::ui::OptionsDialog& options = window.Options();
  options.show();
  if (auto* tabs = options.findChild<QTabWidget*>()) {
    for (int i = 0; i < tabs->count(); ++i) {
      tabs->setCurrentIndex(i);
      const bool learning = tabs->currentWidget()->objectName() == "tsLearning";
      Save(options, out,
           learning ? QString("preferences-learning") : QString("preferences-%1").arg(i + 1));
    }
  }
  options.hide();
  // The rule editor as it opens on a rule: grabbed once shown, then closed.
  norva::ui::RuleDialog* rule = options.ruleDialog();
  norva::MailRule example{23, "90%", 4, "30"};
  QTimer::singleShot(200, rule, [&] {
    Save(*rule, out, "rule-editor");
    rule->reject();
  });
  rule->Execute(example);

  // The first start: the setup dialog over an empty program folder, an address typed and the
  // connection tested against the servers guessed from it.
  QTemporaryDir empty;
  norva::TfrmOptions fresh(empty.path().toStdString());
  norva::ui::AccountSetupDialog setup(&window, fresh, norva.Desktop());
  setup.show();
  setup.findChild<QLineEdit*>("edtName")->setText("Ann Example");
  setup.findChild<QLineEdit*>("edtAddress")->setText("ann@example.org");
  setup.findChild<QLineEdit*>("edtPassword")->setText("password");
  auto* test = setup.findChild<QPushButton*>("btnTestConnection");
  const QString idle = test->text();
  test->click();
  QElapsedTimer clock;
  clock.start();
  while ((test->text() != idle || setup.Results()->count() < 2) && clock.elapsed() < 30000)
    Wait(50);
  Save(setup, out, "first-run");
  return 0;
}
