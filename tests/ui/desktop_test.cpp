// The Qt layer's desktop services, images, text conversion and address dialog, on the offscreen
// platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "mail/msCls.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"
#include "ui/AddressDialog.h"
#include "ui/Images.h"
#include "ui/QtDesktop.h"
#include "ui/Text.h"

namespace norva::ui {
namespace {

using norva::testing::ReadFile;
using norva::testing::TempDir;
using norva::testing::WriteFile;

// Runs action on the modal dialog the next exec() opens.
template <typename Dialog>
void OnNextDialog(std::function<void(Dialog&)> action) {
  QTimer::singleShot(0, [action] {
    auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    action(*dialog);
  });
}

TEST(QtDesktopTest, FiltersBecomeQtNameFilters) {
  EXPECT_EQ(QtDesktop::QtFilter("Tavrel Mail Archives|*.TMA|All Files|*.*"),
            "Tavrel Mail Archives (*.TMA);;All Files (*.*)");
  EXPECT_EQ(QtDesktop::QtFilter("Sounds|*.wav;*.WAV"), "Sounds (*.wav *.WAV)");
  EXPECT_EQ(QtDesktop::QtFilter("All Files|*.*|"), "All Files (*.*)");
  EXPECT_EQ(QtDesktop::QtFilter(""), "");
}

// The logic's text is UTF-8: it shows as such, bytes that are not UTF-8 as U+FFFD (never
// guessed as Latin-1), and typed text comes back as UTF-8.
TEST(TextTest, Utf8ShowsAsItIsAndInvalidBytesAsReplacementCharacters) {
  const struct {
    std::string text;
    QString shown;
  } cases[] = {
      {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x93\xA7", QString::fromUtf8("Café € 📧")},
      {"Caf\xE9", QStringLiteral("Caf\uFFFD")},
      {"\xE2\x82 cut", QStringLiteral("\uFFFD\uFFFD cut")},  // one for each byte
      {"", QString()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ToQt(c.text), c.shown) << c.text;
    EXPECT_EQ(ToQt(FromQt(c.shown)), c.shown) << c.text;
  }
}

QImage Image(const QIcon& icon) {
  return icon.pixmap(16, 16).toImage();
}

TEST(ImagesTest, EveryRoleIsDrawnTheFramesDifferAndOtherIndicesAreHarmless) {
  std::vector<int> toolbar = {22, 23, 24, 32, 33, 34, 35, 55};
  for (int i = 36; i <= 53; ++i) toolbar.push_back(i);
  for (int index : toolbar) {
    EXPECT_FALSE(ToolbarImage(index).isNull()) << index;
    EXPECT_EQ(ToolbarImage(index).availableSizes().size(), 2) << index;
  }
  for (int a = 36; a <= 53; ++a)
    for (int b = a + 1; b <= 53; ++b)
      EXPECT_NE(Image(ToolbarImage(a)), Image(ToolbarImage(b))) << a << " " << b;
  EXPECT_NE(Image(ToolbarImage(32)), Image(ToolbarImage(33)));
  EXPECT_NE(Image(ToolbarImage(34)), Image(ToolbarImage(35)));

  for (int index = 0; index <= 5; ++index) EXPECT_FALSE(MailImage(index).isNull()) << index;
  EXPECT_FALSE(StatusImage(0).isNull());
  // Indices outside the roles are harmless.
  for (int index : {-1, 0, 21, 54, 56, 1000}) EXPECT_FALSE(ToolbarImage(index).isNull());
  EXPECT_TRUE(MailImage(-1).isNull() && MailImage(6).isNull());
  EXPECT_FALSE(StatusImage(7).isNull());
  EXPECT_NE(StatusImage(0).toImage(), StatusImage(1).toImage());

  // Each command has a drawing of its own.
  std::vector<QImage> commands;
  for (int c = int(Command::CheckMail); c <= int(Command::NextMessage); ++c)
    commands.push_back(Image(CommandImage(Command(c))));
  for (size_t a = 0; a < commands.size(); ++a)
    for (size_t b = a + 1; b < commands.size(); ++b)
      EXPECT_NE(commands[a], commands[b]) << a << " " << b;
}

// Pages of a PDF written by Qt: one "/Type /Page" object each.
int PdfPages(const std::string& pdf) {
  int pages = 0;
  for (size_t at = pdf.find("/Type /Page"); at != std::string::npos;
       at = pdf.find("/Type /Page", at + 1))
    if (pdf.compare(at, 12, "/Type /Pages") != 0) ++pages;
  return pages;
}

TEST(QtDesktopTest, PrintsLinesToPagesWithoutWrapping) {
  TempDir dir;
  QtDesktop desktop;
  auto print = [&](const std::vector<std::string>& lines, int size) {
    const std::string file = dir.File("out.pdf");
    desktop.SetPrintToPdf(ToQt(file));
    EXPECT_TRUE(desktop.PrintLines(lines, "Courier New", size));
    const std::string pdf = ReadFile(file);
    EXPECT_EQ(pdf.compare(0, 5, "%PDF-"), 0);
    return PdfPages(pdf);
  };
  EXPECT_EQ(print(std::vector<std::string>(10, "Subject:\tshort line"), 8), 1);
  const int pages = print(std::vector<std::string>(200, "a line"), 8);
  EXPECT_GT(pages, 1);
  EXPECT_EQ(print(std::vector<std::string>(200, std::string(500, 'x')), 8), pages);
  EXPECT_GT(print(std::vector<std::string>(200, "a line"), 16), pages);
  EXPECT_EQ(print({"first", std::string(1, Desktop::kPageBreak), "second"}, 8), 2);

  desktop.SetPrintToPdf(ToQt(dir.File("missing/out.pdf")));
  EXPECT_FALSE(desktop.PrintLines({"a line"}, "Courier New", 8));
}

TEST(QtDesktopTest, OpenDialogStartsAtThePresetAndReturnsTheChoice) {
  TempDir dir;
  WriteFile(dir.File("mail.TMA"), "x");
  QtDesktop desktop;
  std::string fileName = dir.Path() + "/";
  OnNextDialog<QFileDialog>([&](QFileDialog& dialog) {
    EXPECT_EQ(dialog.directory().absolutePath(), ToQt(dir.Path()));
    EXPECT_EQ(dialog.nameFilters(), QStringList({"Archives (*.TMA)", "All Files (*.*)"}));
    dialog.selectFile("mail.TMA");
    static_cast<QDialog&>(dialog).accept();  // QFileDialog's own accept() checks the choice
  });
  ASSERT_TRUE(desktop.OpenDialog("Open Archive", "Archives|*.TMA|All Files|*.*", fileName));
  EXPECT_EQ(fileName, dir.File("mail.TMA"));

  OnNextDialog<QFileDialog>([](QFileDialog& dialog) { dialog.reject(); });
  EXPECT_FALSE(desktop.SaveDialog("Save As", "All Files|*.*", fileName));
  EXPECT_EQ(fileName, dir.File("mail.TMA"));
}

// Enter presses the default button: OK or Yes, but No where Yes cannot be undone.
TEST(QtDesktopTest, EnterInAMessageBoxAnswersItsDefaultButton) {
  QtDesktop desktop;
  const struct {
    int buttons;
    Desktop::Result enter;
  } cases[] = {
      {Desktop::mbOK | Desktop::mbCancel, Desktop::mrOK},
      {Desktop::mbYes | Desktop::mbNo, Desktop::mrYes},
      {Desktop::mbYes | Desktop::mbNo | Desktop::mbDefaultNo, Desktop::mrNo},
      {Desktop::mbOK | Desktop::mbDefaultNo, Desktop::mrOK},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.buttons);
    OnNextDialog<QMessageBox>([](QMessageBox& box) {
      EXPECT_EQ(box.textFormat(), Qt::PlainText);  // a server's "<b>" stays text
      ASSERT_NE(box.defaultButton(), nullptr);
      box.defaultButton()->click();
    });
    EXPECT_EQ(desktop.MessageBox("Discard?", "Confirm", c.buttons, Desktop::iconQuestion, false),
              c.enter);
  }
}

TEST(QtDesktopTest, SoundsThatCannotPlayNeitherBlockNorCrash) {
  TempDir dir;
  WriteFile(dir.File("bad.wav"), "not a wave file");
  // 0.1 s of 8-bit mono silence.
  std::string wav = "RIFF" + std::string("\x2C\x03\0\0", 4) + "WAVEfmt " +
                    std::string("\x10\0\0\0\x01\0\x01\0\x40\x1F\0\0\x40\x1F\0\0\x01\0\x08\0", 20) +
                    "data" + std::string("\x20\x03\0\0", 4) + std::string(800, '\x80');
  WriteFile(dir.File("quiet.wav"), wav);
  QtDesktop desktop;
  for (const char* name : {"none.wav", "bad.wav", "quiet.wav"}) {
    desktop.PlaySound(dir.File(name), true);
    desktop.ProcessMessages();
    desktop.StopSound();
  }
  desktop.PlaySound(dir.File("quiet.wav"), false);
  desktop.ProcessMessages();
}

TEST(QtDesktopTest, BusyCursorIsNeverStackedAndTrayFollows) {
  QtDesktop desktop;
  desktop.SetBusyCursor(true);
  desktop.SetBusyCursor(true);
  ASSERT_NE(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
  desktop.SetBusyCursor(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  desktop.SetBusyCursor(false);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  std::vector<int> shown;
  desktop.SetTrayIcon(36);
  desktop.OnTrayIcon = [&](int index) { shown.push_back(index); };
  desktop.SetTrayIcon(55);
  EXPECT_EQ(shown, std::vector<int>({55}));
}

// The alarm's box comes to the foreground but leaves the main window where it is: hidden in
// the tray it stays hidden, and the box stands on its own.
TEST(QtDesktopTest, AForegroundBoxNeverPullsTheWindowOutOfTheTray) {
  for (const bool hidden : {true, false}) {
    SCOPED_TRACE(hidden);
    QtDesktop desktop;
    QWidget window;
    desktop.SetMainWindow(&window);
    if (!hidden) window.show();
    OnNextDialog<QMessageBox>([&](QMessageBox& box) {
      EXPECT_EQ(window.isVisible(), !hidden);
      EXPECT_EQ(box.parentWidget(), hidden ? nullptr : &window);
      EXPECT_TRUE(box.windowFlags() & Qt::WindowStaysOnTopHint);
      box.button(QMessageBox::Ok)->click();
    });
    EXPECT_EQ(desktop.MessageBox("New Messages in MailBox", "New Messages", Desktop::mbOK,
                                 Desktop::iconInformation, true),
              Desktop::mrOK);
    EXPECT_EQ(window.isVisible(), !hidden);
  }
}

// Without a notification service a notification goes to the fallback (the tray's balloon), and
// without that either the caller hears that nothing was shown.
TEST(QtDesktopTest, NotificationsWithoutAServiceUseTheFallback) {
  norva::testing::ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/norva-bus");
  QtDesktop desktop;
  EXPECT_FALSE(desktop.Notify("1 new message", "me: 1 new"));
  std::vector<QString> shown;
  desktop.OnNotifyFallback = [&](const QString& title, const QString& text) {
    shown.push_back(title + "|" + text);
    return true;
  };
  EXPECT_TRUE(desktop.Notify("1 new message", "me: 1 new\nAnn <a@b>: Caf\xC3\xA9"));
  EXPECT_EQ(shown, std::vector<QString>{QString::fromUtf8("1 new message|me: 1 new\nAnn <a@b>: Café")});
}

TEST(AddressDialogTest, OkKeepsAtMost255WholeCharactersAndCancelKeepsTheAddress) {
  InstallAddressDialog();
  TmsMailAddress address;
  address.Name = "Old Name";
  address.Address = "old@example.org";
  std::string e255;
  for (int i = 0; i < 255; ++i) e255 += "\xC3\xA9";

  const struct {
    QString typed;
    std::string kept;
  } cases[] = {
      {QString(300, 'n'), std::string(255, 'n')},
      {QString(300, QChar(0xE9)), e255},  // characters, not bytes
      {QString::fromUtf8("Jörg Müller"), "J\xC3\xB6rg M\xC3\xBCller"},
  };
  for (const auto& c : cases) {
    OnNextDialog<AddressDialog>([&](AddressDialog& dialog) {
      EXPECT_EQ(dialog.windowTitle(), "Address");
      dialog.NameEdit->setText(c.typed);
      dialog.AddressEdit->setText("new@example.org");
      dialog.accept();
    });
    ASSERT_TRUE(address.Edit());
    EXPECT_EQ(address.Name.str(), c.kept);
    EXPECT_EQ(address.Address.str(), "new@example.org");
  }

  OnNextDialog<AddressDialog>([](AddressDialog& dialog) {
    EXPECT_EQ(dialog.NameEdit->text(), QString::fromUtf8("Jörg Müller"));
    dialog.NameEdit->setText("Changed");
    dialog.reject();
  });
  EXPECT_FALSE(address.Edit());
  EXPECT_EQ(address.Name.str(), "J\xC3\xB6rg M\xC3\xBCller");
  TmsMailAddress::EditHook = nullptr;
}

}  // namespace
}  // namespace norva::ui
