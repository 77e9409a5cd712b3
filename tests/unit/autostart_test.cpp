#include "config/Autostart.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "support/Helpers.h"
#include "support/ScopedEnv.h"
#include "support/TempDir.h"

namespace norva::autostart {
namespace {

using testing::ReadFile;
using testing::ScopedEnv;
using testing::TempDir;

TEST(Autostart, EntryPathFollowsXdgConfigHome) {
  TempDir home;
  ScopedEnv h("HOME", home.Path());
  struct Case {
    const char* xdg;
    std::string expected;
  } cases[] = {
      {"/elsewhere/cfg", "/elsewhere/cfg/autostart/norva.desktop"},
      {"", home.Path() + "/.config/autostart/norva.desktop"},
      {"relative/cfg", home.Path() + "/.config/autostart/norva.desktop"},
  };
  for (const Case& c : cases) {
    ScopedEnv x("XDG_CONFIG_HOME", c.xdg);
    EXPECT_EQ(EntryPath(), c.expected) << c.xdg;
  }
}

TEST(Autostart, ExecLineQuotesWhatTheLauncherWouldSplitOrExpand) {
  struct Case {
    std::string executable, folder, exec;
  } cases[] = {
      {"/usr/bin/norva", "", "Exec=/usr/bin/norva\n"},
      {"/opt/My Apps/norva", "", "Exec=\"/opt/My Apps/norva\"\n"},
      {"/usr/bin/norva", "/home/a/mail", "Exec=env NORVA_FOLDER=/home/a/mail /usr/bin/norva\n"},
      {"/usr/bin/norva", "/home/a/100% \"$x\"",
       "Exec=env \"NORVA_FOLDER=/home/a/100%% \\\\\"\\\\$x\\\\\"\" /usr/bin/norva\n"},
  };
  for (const Case& c : cases) {
    const std::string text = EntryText(c.executable, c.folder);
    EXPECT_NE(text.find(c.exec), std::string::npos) << text;
    EXPECT_EQ(text.rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
  }
}

TEST(Autostart, EnableWritesAndDisableRemoves) {
  TempDir config;
  ScopedEnv x("XDG_CONFIG_HOME", config.Path() + "/new/cfg");
  EXPECT_FALSE(IsEnabled());
  EXPECT_NO_THROW(Disable());  // nothing to remove is not a failure

  Enable("/usr/bin/norva", "");
  EXPECT_TRUE(IsEnabled());
  EXPECT_EQ(ReadFile(EntryPath()), EntryText("/usr/bin/norva", ""));
  Enable("/usr/bin/norva", "/srv/mail");  // replaces, leaves no temporary file
  EXPECT_EQ(ReadFile(EntryPath()), EntryText("/usr/bin/norva", "/srv/mail"));
  EXPECT_TRUE(ReadFile(EntryPath() + ".tmp").empty());

  Disable();
  EXPECT_FALSE(IsEnabled());
}

TEST(Autostart, FailuresNameTheFile) {
  TempDir config;
  ScopedEnv x("XDG_CONFIG_HOME", config.Path());
  testing::WriteFile(config.File("autostart"), "a file where the folder belongs");
  const std::string error = testing::What([] { Enable("/usr/bin/norva", ""); });
  EXPECT_NE(error.find(config.File("autostart")), std::string::npos) << error;
  EXPECT_FALSE(IsEnabled());
  EXPECT_EQ(ReadFile(config.File("autostart")), "a file where the folder belongs");
}

}  // namespace
}  // namespace norva::autostart
