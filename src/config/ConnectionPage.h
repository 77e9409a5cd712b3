// TConnectionPage: the connection and alarm page of the preferences window.
#pragma once

#include <functional>
#include <string>

#include "config/Options.h"

namespace norva {

// The widgets themselves are TfrmOptions' fields (they are the live values); this page keeps
// which of them are shown, reads the dial-up password of the selected entry and picks sounds.
class TConnectionPage {
 public:
  // An open-file dialog: title, filter ("Description|*.ext|…"), the file name (the initial
  // folder on entry, the chosen file on return); false when cancelled.
  using OpenDialog =
      std::function<bool(const std::string& title, const std::string& filter, std::string& file)>;

  TConnectionPage(TfrmOptions& options, OpenDialog openDialog);

  bool chkAutoDialVisible = true;
  bool cmbRasVisible = true;
  bool edtRASPasswordVisible = true;
  bool edtNewSoundVisible = false;
  bool btnNewSoundVisible = false;
  bool chkNewPlayLoopVisible = false;
  bool edtUrgentSoundVisible = false;
  bool btnUrgentSoundVisible = false;
  bool chkUrgentPlayLoopVisible = false;

  // After TfrmOptions::Load: shows what the loaded values call for.
  void AfterLoad();
  // Either connection radio button was clicked (radDirectConnection already holds the choice).
  void radDirectConnectionClick();
  void chkAutoDialClick();
  void chkNewPlayClick();
  void chkUrgentPlayClick();
  // Selects a dial-up entry and reads its stored password into edtRASPassword.
  void cmbRasChange(int32_t index);
  // The "X" buttons: urgent picks the urgent-message sound, else the new-message one.
  void btnNewSoundClick(bool urgent);

 private:
  void ReadRasPassword();

  TfrmOptions& options_;
  OpenDialog openDialog_;
};

}  // namespace norva
