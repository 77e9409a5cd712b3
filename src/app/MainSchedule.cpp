// TfrmMain: when the next automatic check is due, and the timer that starts it.
#include <exception>

#include "app/Main.h"

namespace norva {

namespace {

constexpr TDateTime kMinute = 1.0 / 1440;
constexpr TDateTime kHour = 1.0 / 24;

// "dd/mm/yy hh:nn".
std::string FormatNextCheck(TDateTime value) {
  std::string text = FormatDateTime(value);  // "dd.mm.yy hh:nn"
  text[2] = text[5] = '/';
  return text;
}

}  // namespace

void TfrmMain::CNextCheck(TCheckSchedule& schedule) {
  const TDateTime now = Now();
  if (schedule.CheckManually) {
    schedule.NextCheck = now + 999;
    return;
  }
  // Worked out in days, so a large frequency neither overflows nor wraps at midnight.
  switch (schedule.CheckFreqUnit) {
    case 0:
      schedule.NextCheck = now + schedule.CheckFreq * kMinute;
      break;
    case 1:
      schedule.NextCheck = now + schedule.CheckFreq * kHour;
      break;
    case 2:
      schedule.NextCheck = now + schedule.CheckFreq;
      break;
    default:
      schedule.NextCheck = now;
      break;
  }
}

void TfrmMain::NextCheckCalc() {
  const TDateTime now = Now();
  std::string label;
  if (frmOptions.chkCheckTogether) {
    NextCheckTime = frmOptions.AllMailboxesSchedule.NextCheck;
    label = "ALL";
  } else {
    // The earliest schedule; on equal moments the first mailbox in the list.
    NextCheckTime = now + 1000;
    const auto& accounts = frmOptions.lsvAddress;
    for (size_t i = 0; i < accounts.size(); ++i) {
      if (accounts[i]->NextCheck < NextCheckTime) {
        NextCheckTime = accounts[i]->NextCheck;
        NextCheckAccount = int32_t(i);
        label = accounts[i]->Account;
      }
    }
  }
  // Manual schedules lie 999 days ahead (1000 with no mailbox at all).
  TStatusPanel& panel = StatusBar[1];
  panel.Text = now + 500 > NextCheckTime ? FormatNextCheck(NextCheckTime) + " - " + label
                                         : std::string("Manual Check");
  panel.Width = desktop.TextWidth(panel.Text) + 10;
}

void TfrmMain::ScheduleStartupChecks() {
  // Due a few seconds from now, so the window is up first; the timer then checks them one by
  // one through CheckMail, waiting while a check is busy.
  const TDateTime soon = Now() + 5.0 / 86400;
  if (frmOptions.chkCheckTogether) {
    if (frmOptions.AllMailboxesSchedule.CheckOnStartup)
      frmOptions.AllMailboxesSchedule.NextCheck = soon;
  } else {
    for (auto& account : frmOptions.lsvAddress)
      if (account->CheckOnStartup) account->NextCheck = soon;
  }
  NextCheckCalc();
}

void TfrmMain::Timer1Timer() {
  if (Busy || Now() < NextCheckTime) return;
  Timer1Enabled = false;
  const bool together = frmOptions.chkCheckTogether;
  const int32_t account = NextCheckAccount;
  bool failed = false;
  std::string failure;
  try {
    CheckMail(together, account);
  } catch (const std::exception& e) {
    failed = true;
    failure = ErrorText(e);
  }
  // The next check is measured from the end of this one, whether it worked or not.
  if (together) {
    CNextCheck(frmOptions.AllMailboxesSchedule);
  } else if (account >= 0 && size_t(account) < frmOptions.lsvAddress.size()) {
    CNextCheck(*frmOptions.lsvAddress[size_t(account)]);
  }
  NextCheckCalc();
  Timer1Enabled = true;
  if (failed) ShowError(failure);
}

}  // namespace norva
