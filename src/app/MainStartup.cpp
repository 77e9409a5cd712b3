// TfrmMain: coming up (caption, placement and list layout, archive folders, the scheduler) and
// going down (placement and layout stored), and the small toolbar commands.
#include <algorithm>
#include <climits>

#include "app/Main.h"
#include "app/Placement.h"

namespace norva {

namespace {

TIntegerKeys LayoutKeys(TfrmMain& main) {
  TIntegerKeys keys = {{"Position/Main-Left", &main.Left},
                       {"Position/Main-Top", &main.Top},
                       {"Position/Main-Width", &main.Width},
                       {"Position/Main-Height", &main.Height},
                       {"Position/Split-Height", &main.SplitPercent},
                       {"Position/Folder-Width", &main.FolderWidth}};
  for (size_t i = 0; i < main.lsvMailColumns.size(); ++i)
    keys.push_back({"MsgList/Width-" + std::to_string(i), &main.lsvMailColumns[i]});
  return keys;
}

}  // namespace

void TfrmMain::FormCreate() {
  Caption = " N o r v a  -  beta2 (build 44)";
  StatusIcon = 0;
  SortColumn = -1;
  SortDescending = false;
  StopAnim();
  // A placement never stored (the first start) is 70% of the screen, centred.
  constexpr int32_t kUnset = INT32_MIN;
  Width = Height = kUnset;
  ReadConfigIntegers(frmOptions.ConfigFileName(), LayoutKeys(*this));
  int screenWidth = 0, screenHeight = 0;
  desktop.ScreenSize(screenWidth, screenHeight);
  if (Width == kUnset || Height == kUnset) {
    Width = screenWidth > 0 ? std::max(kDesignWidth, screenWidth * 7 / 10) : kDesignWidth;
    Height = screenHeight > 0 ? std::max(kDesignHeight, screenHeight * 7 / 10) : kDesignHeight;
    Left = std::max(5, (screenWidth - Width) / 2);
    Top = std::max(5, (screenHeight - Height) / 2);
  }
  FitToScreen(Left, Width, screenWidth);
  FitToScreen(Top, Height, screenHeight);
  // A damaged value must not hide the list or the preview entirely.
  if (SplitPercent < 1 || SplitPercent > 99) SplitPercent = 40;
  FolderWidth = std::clamp(FolderWidth, 40, std::max(40, Width / 2));
  pnlMainResize();
  // The last three columns always fit their widest content.
  lsvMailColumns[2] = desktop.TextWidth("25.25.25 25:25") + 15;
  lsvMailColumns[3] = desktop.TextWidth("5555555") + 15;
  lsvMailColumns[4] = desktop.TextWidth("555") + 15;
  LoadFolders();
  Timer1Enabled = true;
}

bool TfrmMain::FormCloseQuery() {
  WriteConfigIntegers(frmOptions, LayoutKeys(*this));
  return true;
}

void TfrmMain::btnHelpClick() {
  if (desktop.OpenWithDesktop(HelpFile) < 32)
    desktop.MessageBox("The user manual " + HelpFile + " could not be opened.", "Error",
                       Desktop::mbOK, Desktop::iconError);
}

void TfrmMain::btnLogsClick() {
  desktop.MessageBox("Feature not yet active.", "Error", Desktop::mbOK, Desktop::iconError);
}

}  // namespace norva
