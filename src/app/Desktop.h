// Desktop: what the windows' logic needs of the platform — message and input boxes, file and
// print dialogs, sounds, opening files and links, printing, the tray icon, notifications, text
// metrics, the busy cursor, the default error display and the message pump. The Qt application
// and the tests supply it.
#pragma once

#include <string>
#include <vector>

namespace norva {

class Desktop {
 public:
  // Buttons of a message box (combinable) and what it returns. The first of OK and Yes is the
  // default button; mbDefaultNo makes it No, for a question whose Yes cannot be undone.
  enum Buttons { mbOK = 1, mbCancel = 2, mbYes = 4, mbNo = 8, mbDefaultNo = 16 };
  enum Result { mrNone = 0, mrOK = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };
  enum Icon { iconNone, iconInformation, iconWarning, iconError, iconQuestion };

  virtual ~Desktop() = default;

  // A modal message box; foreground brings it before every other window.
  virtual Result MessageBox(const std::string& text, const std::string& caption, int buttons,
                            Icon icon, bool foreground = false) = 0;
  // A one-line input box; false when cancelled.
  virtual bool InputBox(const std::string& caption, const std::string& prompt,
                        std::string& value) = 0;
  // File dialogs; filter is "Description|*.ext|…"; false when cancelled.
  virtual bool OpenDialog(const std::string& title, const std::string& filter,
                          std::string& fileName) = 0;
  virtual bool SaveDialog(const std::string& title, const std::string& filter,
                          std::string& fileName) = 0;
  // A folder dialog: folder is the folder it opens in, and the chosen one on return; false when
  // cancelled. A desktop without one (the headless tool) chooses nothing.
  virtual bool FolderDialog(const std::string& title, std::string& folder) {
    (void)title;
    (void)folder;
    return false;
  }
  // Prints lines in the named font and size, after the print dialog; false when cancelled. A
  // line that is just kPageBreak starts a new page.
  static constexpr char kPageBreak = '\f';
  virtual bool PrintLines(const std::vector<std::string>& lines, const std::string& font,
                          int pointSize) = 0;

  // Plays a WAV file asynchronously, repeating when loop; StopSound ends it.
  virtual void PlaySound(const std::string& fileName, bool loop) = 0;
  virtual void StopSound() = 0;
  virtual void Beep() = 0;
  // Opens a file with the program the desktop associates with it; 32 or more on success.
  virtual int OpenWithDesktop(const std::string& path) = 0;
  // Opens a web address in the desktop's browser; false when it could not. A desktop without a
  // browser (the headless tool) opens nothing.
  virtual bool OpenUrl(const std::string& url) {
    (void)url;
    return false;
  }

  // The tray icon shows this image of the toolbar image list.
  virtual void SetTrayIcon(int imageIndex) = 0;
  // A passing desktop notification (plain text, never markup); false when this desktop has no
  // way to show one, so that the caller can say it otherwise.
  virtual bool Notify(const std::string& title, const std::string& text) {
    (void)title;
    (void)text;
    return false;
  }
  // The width in pixels of text in the status bar's font.
  virtual int TextWidth(const std::string& text) = 0;
  // The size of the screen's work area in pixels.
  virtual void ScreenSize(int& width, int& height) = 0;
  virtual void BringToFront() = 0;
  virtual void SetBusyCursor(bool busy) = 0;
  // The application's default error display.
  virtual void ShowError(const std::string& text) = 0;
  // Lets pending user-interface events run.
  virtual void ProcessMessages() = 0;
};

}  // namespace norva
