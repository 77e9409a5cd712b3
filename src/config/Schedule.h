// TScheduleControls: the check-frequency widgets of the preferences window's mailbox page.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "config/Options.h"

namespace norva {

// Drives chkCheckOnStartup, radCheckManual/radCheckFreq, cmbFreq and tbaFreq of TfrmOptions,
// and owns the frequency label and which of the frequency widgets are shown.
class TScheduleControls {
 public:
  explicit TScheduleControls(TfrmOptions& options) : options_(options) {}

  std::string lblFreq = "10 minutes";
  // tbaFreq, cmbFreq and lblFreq are shown only while radCheckFreq is checked.
  bool tbaFreqVisible = true;
  bool cmbFreqVisible = true;
  bool lblFreqVisible = true;
  // Selects a row of lsvAddress in the accounts editor (its fields follow the row).
  std::function<void(int32_t index)> OnSelectAddress;

  // Shows the all-mailboxes schedule when checking together, else the first mailbox's.
  void chkCheckTogetherClick();
  void radCheckFreqClick();
  void tbaFreqChange();
  void cmbFreqChange() { tbaFreqChange(); }
  // Puts a schedule into the widgets.
  void ShowSchedule(const TCheckSchedule& schedule);

 private:
  TfrmOptions& options_;
};

}  // namespace norva
