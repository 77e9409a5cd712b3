// TScheduleControls: showing a check schedule on the mailbox page.
#include "config/Schedule.h"

#include <algorithm>

namespace norva {

void TScheduleControls::ShowSchedule(const TCheckSchedule& schedule) {
  options_.chkCheckOnStartup = schedule.CheckOnStartup;
  options_.radCheckManual = schedule.CheckManually;
  options_.cmbFreq.Select(schedule.CheckFreqUnit);
  // The track bar keeps its position inside its range.
  options_.tbaFreq = std::clamp(schedule.CheckFreq, 1, 60);
  radCheckFreqClick();
  tbaFreqChange();
}

void TScheduleControls::chkCheckTogetherClick() {
  if (options_.chkCheckTogether) {
    ShowSchedule(options_.AllMailboxesSchedule);
  } else if (!options_.lsvAddress.empty()) {
    ShowSchedule(*options_.lsvAddress.front());
    if (OnSelectAddress) OnSelectAddress(0);
  }
  tbaFreqChange();
}

void TScheduleControls::radCheckFreqClick() {
  const bool shown = options_.radCheckFreq();
  tbaFreqVisible = cmbFreqVisible = lblFreqVisible = shown;
}

void TScheduleControls::tbaFreqChange() {
  const TComboModel& unit = options_.cmbFreq;
  const bool named = unit.ItemIndex >= 0 && size_t(unit.ItemIndex) < unit.Items.size();
  lblFreq =
      std::to_string(options_.tbaFreq) + " " + (named ? unit.Items[size_t(unit.ItemIndex)] : "");
}

}  // namespace norva
