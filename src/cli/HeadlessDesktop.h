// HeadlessDesktop: the Desktop of norva-cli. Message boxes and errors go to standard error and
// are answered at once, dialogs are cancelled, there are no sounds, and the pump only runs the
// hook the command installs.
#pragma once

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "app/Desktop.h"
#include "cli/CliText.h"

namespace norva::cli {

class HeadlessDesktop : public Desktop {
 public:
  explicit HeadlessDesktop(std::ostream& err) : err_(err) {}

  std::function<void()> OnPump;  // runs inside ProcessMessages
  int Errors = 0;                // ShowError calls so far

  // OK when the box offers it; otherwise the answer that confirms nothing.
  Result MessageBox(const std::string& text, const std::string& caption, int buttons, Icon,
                    bool) override {
    err_ << "[" << Printable(caption) << "] " << PrintableLines(text) << "\n";
    if (buttons & mbOK) return mrOK;
    return (buttons & mbCancel) ? mrCancel : mrNo;
  }
  bool InputBox(const std::string&, const std::string&, std::string&) override { return false; }
  bool OpenDialog(const std::string&, const std::string&, std::string&) override { return false; }
  bool SaveDialog(const std::string&, const std::string&, std::string&) override { return false; }
  bool PrintLines(const std::vector<std::string>&, const std::string&, int) override {
    return false;
  }
  void PlaySound(const std::string&, bool) override {}
  void StopSound() override {}
  void Beep() override {}
  int OpenWithDesktop(const std::string&) override { return 0; }
  void SetTrayIcon(int) override {}
  int TextWidth(const std::string& text) override { return 7 * int(text.size()); }
  void ScreenSize(int& width, int& height) override {
    width = 1024;
    height = 768;
  }
  void BringToFront() override {}
  void SetBusyCursor(bool) override {}
  void ShowError(const std::string& text) override {
    ++Errors;
    err_ << "error: " << PrintableLines(text) << "\n";
  }
  void ProcessMessages() override {
    if (OnPump) OnPump();
  }

 private:
  std::ostream& err_;
};

}  // namespace norva::cli
