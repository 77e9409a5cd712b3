// norva-screenshots FOLDER OUTDIR: starts Norva over a prepared program folder, checks its
// mailboxes and saves pictures of the main window, a message being read, every preferences page
// and the rule editor into OUTDIR. Message boxes are answered at once instead of shown.
#include <QApplication>
#include <QDir>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <cstdio>

#include "app/Msg.h"
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

  norva::ui::OptionsDialog& options = window.Options();
  options.show();
  if (auto* tabs = options.findChild<QTabWidget*>()) {
    for (int i = 0; i < tabs->count(); ++i) {
      tabs->setCurrentIndex(i);
      Save(options, out, QString("preferences-%1").arg(i + 1));
    }
  }
  options.hide();
  // The rule editor as it opens on a rule: grabbed once shown, then closed.
  norva::ui::RuleDialog* rule = options.ruleDialog();
  norva::MailRule example{14, "Black List", 1, ""};
  QTimer::singleShot(200, rule, [&] {
    Save(*rule, out, "rule-editor");
    rule->reject();
  });
  rule->Execute(example);
  return 0;
}
