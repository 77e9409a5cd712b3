// A scriptable Desktop for tests: records what the logic asked of the desktop and answers
// dialogs from queues.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "app/Desktop.h"

namespace norva::testing {

class FakeDesktop : public Desktop {
 public:
  struct Box {
    std::string text, caption;
    int buttons;
    Icon icon;
    bool foreground;
  };
  std::vector<Box> Boxes;                // every message box shown
  std::deque<Result> BoxAnswers;         // answers in order; mrOK when empty
  std::deque<std::string> InputAnswers;  // an empty queue cancels
  std::deque<std::string> FileAnswers;   // file and folder dialogs; an empty queue cancels
  std::vector<std::vector<std::string>> Printed;
  std::vector<std::string> Sounds;  // "play FILE", "loop FILE", "stop"
  int Beeps = 0;
  std::vector<std::string> Opened;
  int OpenResult = 42;
  std::vector<std::string> Links;  // addresses given to the browser
  bool LinkResult = true;
  std::vector<int> TrayIcons;
  struct Notice {
    std::string title, text;
  };
  std::vector<Notice> Notices;  // every notification shown
  bool CanNotify = true;        // false: a desktop without notifications
  std::vector<std::string> Errors;
  bool Busy = false;
  int Pumps = 0;
  std::function<void()> OnPump;  // runs inside ProcessMessages (e.g. a user's stop command)

  Result MessageBox(const std::string& text, const std::string& caption, int buttons, Icon icon,
                    bool foreground) override {
    Boxes.push_back({text, caption, buttons, icon, foreground});
    if (BoxAnswers.empty()) return mrOK;
    Result r = BoxAnswers.front();
    BoxAnswers.pop_front();
    return r;
  }
  bool InputBox(const std::string&, const std::string&, std::string& value) override {
    return Take(InputAnswers, value);
  }
  bool OpenDialog(const std::string&, const std::string&, std::string& fileName) override {
    return Take(FileAnswers, fileName);
  }
  bool SaveDialog(const std::string&, const std::string&, std::string& fileName) override {
    return Take(FileAnswers, fileName);
  }
  bool FolderDialog(const std::string&, std::string& folder) override {
    return Take(FileAnswers, folder);
  }
  bool PrintLines(const std::vector<std::string>& lines, const std::string&, int) override {
    Printed.push_back(lines);
    return true;
  }
  void PlaySound(const std::string& fileName, bool loop) override {
    Sounds.push_back((loop ? "loop " : "play ") + fileName);
  }
  void StopSound() override { Sounds.push_back("stop"); }
  void Beep() override { ++Beeps; }
  int OpenWithDesktop(const std::string& path) override {
    Opened.push_back(path);
    return OpenResult;
  }
  bool OpenUrl(const std::string& url) override {
    Links.push_back(url);
    return LinkResult;
  }
  void SetTrayIcon(int imageIndex) override { TrayIcons.push_back(imageIndex); }
  bool Notify(const std::string& title, const std::string& text) override {
    if (CanNotify) Notices.push_back({title, text});
    return CanNotify;
  }
  int TextWidth(const std::string& text) override { return 7 * int(text.size()); }
  int ScreenWidth = 1280, ScreenHeight = 1024;
  void ScreenSize(int& width, int& height) override {
    width = ScreenWidth;
    height = ScreenHeight;
  }
  void BringToFront() override {}
  void SetBusyCursor(bool busy) override { Busy = busy; }
  void ShowError(const std::string& text) override { Errors.push_back(text); }
  void ProcessMessages() override {
    ++Pumps;
    if (OnPump) OnPump();
  }

 private:
  static bool Take(std::deque<std::string>& queue, std::string& value) {
    if (queue.empty()) return false;
    value = queue.front();
    queue.pop_front();
    return true;
  }
};

}  // namespace norva::testing
