// The scripted remote-access service.
#include "support/FakeRasBackend.h"

#include <algorithm>
#include <utility>

namespace norva::testing {

void FakeRasBackend::Tick() {
  if (!notify_ || Reports.empty()) return;
  Report report = Reports.front();
  Reports.pop_front();
  if (report.State == rasConnected && report.Error == 0)
    Connections.push_back({dialing_, handle_, DialedAddress});
  // The callback may hang up, which drops notify_: call a copy.
  TRasDialNotify notify = notify_;
  notify(report.State, report.Error);
}

int32_t FakeRasBackend::EnumEntries(TStringList& entries) {
  if (FailEnumEntries) return FailEnumEntries;
  entries = Entries;
  return 0;
}

int32_t FakeRasBackend::EnumConnections(std::vector<TRasConnection>& connections) {
  if (FailEnumConnections) return FailEnumConnections;
  connections.clear();
  for (const Connection& c : Connections) connections.push_back({c.EntryName, c.Handle});
  return 0;
}

int32_t FakeRasBackend::GetIPAddress(int32_t handle, std::string& address) {
  if (FailGetIPAddress) return FailGetIPAddress;
  address.clear();
  for (const Connection& c : Connections)
    if (c.Handle == handle) address = c.Address;
  return 0;
}

int32_t FakeRasBackend::GetEntryDialParams(TRasDialParams& params, bool& hasPassword) {
  if (FailGetParams) return FailGetParams;
  if (std::find(Entries.begin(), Entries.end(), params.EntryName) == Entries.end())
    return kRasEntryNotFound;
  auto stored = StoredPasswords.find(params.EntryName);
  hasPassword = stored != StoredPasswords.end();
  params.UserName = "user";
  params.Password = hasPassword ? stored->second : "";
  return 0;
}

int32_t FakeRasBackend::SetEntryDialParams(const TRasDialParams& params, bool removePassword) {
  if (FailSetParams) return FailSetParams;
  Written.push_back(params);
  RemoveFlags.push_back(removePassword);
  if (removePassword)
    StoredPasswords.erase(params.EntryName);
  else
    StoredPasswords[params.EntryName] = params.Password;
  return 0;
}

int32_t FakeRasBackend::Dial(const TRasDialParams& params, TRasDialNotify notify, int32_t& handle) {
  Dialed.push_back(params);
  handle = handle_ = nextHandle_++;
  if (FailDial) return FailDial;
  dialing_ = params.EntryName;
  notify_ = std::move(notify);
  return 0;
}

int32_t FakeRasBackend::HangUp(int32_t handle) {
  HungUp.push_back(handle);
  std::erase_if(Connections, [handle](const Connection& c) { return c.Handle == handle; });
  if (handle == handle_) {
    notify_ = nullptr;
    Reports.clear();
  }
  return 0;
}

std::string FakeRasBackend::ErrorText(int32_t code) {
  auto text = ErrorTexts.find(code);
  return text == ErrorTexts.end() ? "" : text->second;
}

std::string FakeRasBackend::StateText(int32_t state) {
  auto text = StateTexts.find(state);
  return text == StateTexts.end() ? "" : text->second;
}

}  // namespace norva::testing
