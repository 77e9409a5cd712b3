// TfrmMain: coming up (caption, placement and list layout, archive folders, the scheduler) and
// going down (placement and layout stored), and the small toolbar commands.
#include "app/Main.h"
#include "app/Placement.h"

namespace norva {

namespace {

TIntegerKeys LayoutKeys(TfrmMain& main) {
  TIntegerKeys keys = {{"Position/Main-Left", &main.Left},
                       {"Position/Main-Top", &main.Top},
                       {"Position/Main-Width", &main.Width},
                       {"Position/Main-Height", &main.Height},
                       {"Position/Split-Height", &main.SplitPercent}};
  for (size_t i = 0; i < main.lsvMailColumns.size(); ++i)
    keys.push_back({"MsgList/Width-" + std::to_string(i), &main.lsvMailColumns[i]});
  return keys;
}

}  // namespace

void TfrmMain::FormCreate() {
  Caption = " N o r v a  -  beta2 (build 44)";
  StatusIcon = 0;
  SortColumn = 0;
  StopAnim();
  ReadConfigIntegers(frmOptions.ConfigFileName(), LayoutKeys(*this));
  int screenWidth = 0, screenHeight = 0;
  desktop.ScreenSize(screenWidth, screenHeight);
  FitToScreen(Left, Width, screenWidth);
  FitToScreen(Top, Height, screenHeight);
  // A damaged value must not hide the list or the preview entirely.
  if (SplitPercent < 1 || SplitPercent > 99) SplitPercent = 40;
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
