// TagRas: entries, the connection test, dialing with its wait, hanging up and the state texts.
#include "mail/agRasCmp.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "mail/agConst.h"
#include "store/Pump.h"

namespace norva {
namespace {
constexpr auto kSlice = std::chrono::milliseconds(10);  // the dial wait pumps this often

struct TStateText {
  int32_t state;
  const char* fallback;
};

// The states worth showing; every other state has no text.
constexpr TStateText kStateTexts[] = {
    {rasOpenPort, "Initializing..."},
    {rasConnectDevice, "Dialing..."},
    {rasDeviceConnected, "Dialing..."},
    {rasAllDevicesConnected, "Dialing..."},
    {rasAuthenticate, "Verifying user name and password"},
    {rasAuthenticated, "User name and password verified"},
    {rasAuthProject, "Verifying user name and password"},
    {rasProjected, "Logging on to Network"},
    {rasConnected, "Successfully connected"},
};
}  // namespace

TagRas::TagRas(std::shared_ptr<TRasBackend> backend)
    : backend_(backend ? std::move(backend) : std::make_shared<TNullRasBackend>()),
      self_(std::make_shared<TagRas*>(this)) {
  Counter.TimeOut = 120;
}

// A connection this component dialed stays up: the program never hangs up behind the user.
TagRas::~TagRas() = default;

void TagRas::SetService(const std::string& value) {
  if (value.empty()) {
    service_.clear();
  } else if (!HasEntries()) {
    if (OnErrorDialog) OnErrorDialog("TagRas component was unable to detect\rRAS on your system.");
  } else if (Connected) {
    if (OnErrorDialog)
      OnErrorDialog("This property can be set only before\restablishing the connection");
  } else if (std::find(Entries.begin(), Entries.end(), value) == Entries.end()) {
    if (OnErrorDialog) OnErrorDialog("Invalid service name");
    service_.clear();
  } else {
    service_ = value;
  }
}

void TagRas::EnumEntries() {
  Entries.clear();
  TStringList names;
  LastError = backend_->EnumEntries(names);
  if (LastError == 0) Entries = std::move(names);
}

bool TagRas::IsConnected() {
  std::vector<TRasConnection> connections;
  if (int32_t error = backend_->EnumConnections(connections)) RaiseRasError(error);
  // Any connection of our entry is the open connection, also one this component dialed.
  serviceUp_ = false;
  if (!service_.empty()) {
    for (const TRasConnection& c : connections) {
      if (c.EntryName == service_) {
        Handle = c.Handle;
        serviceUp_ = true;
        return true;
      }
    }
  }
  if (!ForceService) {
    for (const TRasConnection& c : connections) {
      std::string address;
      if (int32_t error = backend_->GetIPAddress(c.Handle, address)) RaiseRasError(error);
      if (!address.empty()) return true;
    }
  }
  return false;
}

void TagRas::Dial() {
  const int32_t dialed = Dialing ? Handle : -1;
  if (IsConnected() || service_.empty()) {
    Connected = true;
    // The connection this component dialed stays its own, so that HangUp still ends it.
    Dialing = serviceUp_ && dialed != -1 && Handle == dialed;
    return;
  }
  Dialing = true;
  ResetState();
  // An error of an earlier attempt must not end this one's wait before it begins.
  LastError = 0;

  TRasDialParams params;
  params.EntryName = service_;
  bool hasPassword = false;
  if (int32_t error = backend_->GetEntryDialParams(params, hasPassword)) RaiseRasError(error);
  if (!hasPassword) {
    params.Password = Password;
    if (int32_t error = backend_->SetEntryDialParams(params, RemovePassword)) RaiseRasError(error);
  }

  const uint32_t attempt = ++attempt_;
  std::weak_ptr<TagRas*> self = self_;
  auto notify = [self, attempt](int32_t state, int32_t error) {
    auto ras = self.lock();
    if (ras && (*ras)->attempt_ == attempt) (*ras)->DialEvent(state, error);
  };
  int32_t handle = -1;
  int32_t error = backend_->Dial(params, notify, handle);
  Handle = handle;
  if (error != 0) {
    DoHangUp();
    RaiseRasError(error);
  }

  Counter.Start();
  try {
    while (!Connected && LastError == 0 && !HungUp && !Counter.Expired()) {
      ProcessMessages();
      if (Connected || LastError != 0 || HungUp) break;
      std::this_thread::sleep_for(kSlice);
    }
  } catch (...) {
    // Whatever ended the wait, the attempt must not go on dialing unseen.
    Counter.Stop();
    DoHangUp();
    throw;
  }
  Counter.Stop();

  if (LastError != 0) {
    int32_t code = LastError;
    DoHangUp();
    RaiseRasError(code);
  }
  if (HungUp) throw ECanceledError(MailMessageText(msgCanceled));
  if (!Connected) {
    // Timed out: stop the attempt so that it cannot connect later behind the caller's back.
    DoHangUp();
    throw ETimedOutError(MailMessageText(msgTimedOut));
  }
}

void TagRas::DialEvent(int32_t state, int32_t error) {
  if (OnStatusChange) {
    const uint32_t attempt = attempt_;
    OnStatusChange(*this, StateText(state));
    // The handler may have hung up; the rest of this report belongs to an ended attempt.
    if (attempt_ != attempt) return;
  }
  if (!Connected) Connected = state == rasConnected;
  if (error != 0) {
    // Recorded, never thrown: this runs inside the host's event loop, which an exception must
    // not cross. A wait in Dial turns it into ERASError; later, it marks the connection lost.
    LastError = error;
    Connected = false;
  }
}

void TagRas::DoHangUp() {
  ++attempt_;  // later reports of the ended attempt are dropped
  if (HasEntries() && Dialing && Handle != -1) {
    backend_->HangUp(Handle);
    if (OnDisconnected) OnDisconnected(*this);
  }
  Connected = false;
  Handle = -1;
}

void TagRas::HangUp() {
  DoHangUp();
  HungUp = true;
}

void TagRas::ResetState() {
  Handle = -1;
  Connected = false;
  HungUp = false;
  Counter.Reset();
}

std::string TagRas::StateText(int32_t state) {
  for (const TStateText& entry : kStateTexts) {
    if (entry.state != state) continue;
    std::string text = backend_->StateText(state);
    return text.empty() ? entry.fallback : text;
  }
  return "";
}

std::string TagRas::RasErrorText(int32_t code) {
  std::string text = backend_->ErrorText(code);
  return text.empty() ? "RAS error no " + std::to_string(code) : text;
}

void TagRas::RaiseRasError(int32_t code) {
  throw ERASError(RasErrorText(code), code);
}

}  // namespace norva
