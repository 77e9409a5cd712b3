// TConnectionPage: visibility of the dial-up and sound widgets, the dial-up password, sounds.
#include "config/ConnectionPage.h"

#include <filesystem>

namespace norva {

TConnectionPage::TConnectionPage(TfrmOptions& options, OpenDialog openDialog)
    : options_(options), openDialog_(std::move(openDialog)) {}

void TConnectionPage::AfterLoad() {
  chkAutoDialVisible = !options_.radDirectConnection;
  cmbRasVisible = edtRASPasswordVisible = !options_.radDirectConnection && options_.chkAutoDial;
  chkNewPlayClick();
  chkUrgentPlayClick();
}

void TConnectionPage::radDirectConnectionClick() {
  if (options_.radDirectConnection) {
    chkAutoDialVisible = cmbRasVisible = edtRASPasswordVisible = false;
    return;
  }
  chkAutoDialVisible = true;
  if (!options_.chkAutoDial) return;
  cmbRasVisible = edtRASPasswordVisible = true;
  if (options_.cmbRas.ItemIndex < 0 && !options_.cmbRas.Items.empty()) cmbRasChange(0);
}

void TConnectionPage::chkAutoDialClick() {
  cmbRasVisible = edtRASPasswordVisible = options_.chkAutoDial;
}

void TConnectionPage::chkNewPlayClick() {
  edtNewSoundVisible = btnNewSoundVisible = chkNewPlayLoopVisible = options_.chkNewPlay;
}

void TConnectionPage::chkUrgentPlayClick() {
  edtUrgentSoundVisible = btnUrgentSoundVisible = chkUrgentPlayLoopVisible = options_.chkUrgentPlay;
}

void TConnectionPage::cmbRasChange(int32_t index) {
  options_.cmbRas.Select(index);
  ReadRasPassword();
}

void TConnectionPage::btnNewSoundClick(bool urgent) {
  if (!openDialog_) return;
  std::string file = options_.Folder();
  if (!openDialog_("Select WAV File", "Sound Files|*.WAV|All Files|*.*", file)) return;
  (urgent ? options_.edtUrgentSound : options_.edtNewSound) = file;
}

void TConnectionPage::ReadRasPassword() {
  // A password typed for the previous entry and not saved is dropped here.
  options_.edtRASPassword.clear();
  const TComboModel& ras = options_.cmbRas;
  if (ras.ItemIndex < 0 || size_t(ras.ItemIndex) >= ras.Items.size()) return;
  // Reading must not create the store.
  std::error_code ec;
  if (!std::filesystem::exists(options_.ConfigFileName(), ec)) return;
  TQDB& db = options_.QDB1;
  db.SetFileName(options_.ConfigFileName());
  options_.edtRASPassword = options_.ReadRasPassword(ras.Items[size_t(ras.ItemIndex)]);
  // Nothing was changed: close without writing.
  db.SetSaveOnClose(false);
  db.SetFileName("");
  db.SetSaveOnClose(true);
}

}  // namespace norva
