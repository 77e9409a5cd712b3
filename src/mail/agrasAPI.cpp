// The null remote-access service: every entry is unknown and nothing is ever connected.
#include "mail/agrasAPI.h"

namespace norva {

int32_t TNullRasBackend::EnumEntries(TStringList& entries) {
  entries.clear();
  return 0;
}

int32_t TNullRasBackend::EnumConnections(std::vector<TRasConnection>& connections) {
  connections.clear();
  return 0;
}

int32_t TNullRasBackend::GetIPAddress(int32_t, std::string& address) {
  address.clear();
  return 0;
}

int32_t TNullRasBackend::GetEntryDialParams(TRasDialParams&, bool& hasPassword) {
  hasPassword = false;
  return kRasEntryNotFound;
}

int32_t TNullRasBackend::SetEntryDialParams(const TRasDialParams&, bool) {
  return kRasEntryNotFound;
}

int32_t TNullRasBackend::Dial(const TRasDialParams&, TRasDialNotify, int32_t& handle) {
  handle = -1;
  return kRasEntryNotFound;
}

int32_t TNullRasBackend::HangUp(int32_t) {
  return 0;
}

std::string TNullRasBackend::ErrorText(int32_t code) {
  return code == kRasEntryNotFound ? "No dial-up service on this system" : "";
}

std::string TNullRasBackend::StateText(int32_t) {
  return "";
}

}  // namespace norva
