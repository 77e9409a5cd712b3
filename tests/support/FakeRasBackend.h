// A scripted remote-access service for the dial-up component's tests: entries, active
// connections with their addresses, dialing reports handed out one per pump tick, and an error
// to return from each operation.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "mail/agrasAPI.h"

namespace norva::testing {

class FakeRasBackend : public TRasBackend {
 public:
  struct Connection {
    std::string EntryName;
    int32_t Handle = -1;
    std::string Address;  // empty: no IP projection
  };
  struct Report {
    int32_t State = 0;
    int32_t Error = 0;
  };

  // ---- the script ----
  TStringList Entries;
  std::vector<Connection> Connections;
  std::map<std::string, std::string> StoredPasswords;  // entry -> password
  std::deque<Report> Reports;                          // delivered while a dial runs
  std::map<int32_t, std::string> ErrorTexts, StateTexts;
  std::string DialedAddress = "10.0.0.2";  // a connection that reports 8192 gets it
  // Errors to return (0: succeed).
  int32_t FailEnumEntries = 0, FailEnumConnections = 0, FailGetIPAddress = 0;
  int32_t FailGetParams = 0, FailSetParams = 0, FailDial = 0;

  // ---- what happened ----
  std::vector<TRasDialParams> Written;  // SetEntryDialParams, in order
  std::vector<bool> RemoveFlags;
  std::vector<TRasDialParams> Dialed;
  std::vector<int32_t> HungUp;

  // Hands the next report to the running dial, if any; the tests call it from the pump.
  void Tick();

  int32_t EnumEntries(TStringList& entries) override;
  int32_t EnumConnections(std::vector<TRasConnection>& connections) override;
  int32_t GetIPAddress(int32_t handle, std::string& address) override;
  int32_t GetEntryDialParams(TRasDialParams& params, bool& hasPassword) override;
  int32_t SetEntryDialParams(const TRasDialParams& params, bool removePassword) override;
  int32_t Dial(const TRasDialParams& params, TRasDialNotify notify, int32_t& handle) override;
  int32_t HangUp(int32_t handle) override;
  std::string ErrorText(int32_t code) override;
  std::string StateText(int32_t state) override;

 private:
  TRasDialNotify notify_;
  std::string dialing_;  // entry of the running dial
  int32_t handle_ = -1;
  int32_t nextHandle_ = 100;
};

}  // namespace norva::testing
