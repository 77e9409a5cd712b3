// The remote-access service behind the dial-up component, and its null implementation for
// systems without one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mail/msutils.h"

namespace norva {

// The dialing states the service reports.
enum TRasState : int32_t {
  rasOpenPort = 0,
  rasConnectDevice = 2,
  rasDeviceConnected = 3,
  rasAllDevicesConnected = 4,
  rasAuthenticate = 5,
  rasAuthenticated = 14,
  rasAuthProject = 19,
  rasProjected = 21,
  rasConnected = 8192,
};

// The service's error for an entry that does not exist.
constexpr int32_t kRasEntryNotFound = 623;

// An active connection: the entry it was dialed from and its handle.
struct TRasConnection {
  std::string EntryName;
  int32_t Handle = -1;
};

// What the dialer needs to dial an entry.
struct TRasDialParams {
  std::string EntryName;
  std::string UserName;
  std::string Password;
  std::string Domain;
};

// One dialing report: the state reached and an error code (0 when none).
using TRasDialNotify = std::function<void(int32_t state, int32_t error)>;

// The operations of a remote-access service. Every call that can fail returns 0 or the
// service's error code. Dialing is asynchronous: the reports reach the notify callback later,
// on the user-interface thread, while the caller pumps messages.
class TRasBackend {
 public:
  virtual ~TRasBackend() = default;

  virtual int32_t EnumEntries(TStringList& entries) = 0;
  virtual int32_t EnumConnections(std::vector<TRasConnection>& connections) = 0;
  // The IP address of a connection; empty when it has none.
  virtual int32_t GetIPAddress(int32_t handle, std::string& address) = 0;
  // Reads the parameters of params.EntryName; hasPassword tells whether a password is stored.
  virtual int32_t GetEntryDialParams(TRasDialParams& params, bool& hasPassword) = 0;
  virtual int32_t SetEntryDialParams(const TRasDialParams& params, bool removePassword) = 0;
  // Starts dialing; handle receives the new connection's handle, also when starting fails.
  virtual int32_t Dial(const TRasDialParams& params, TRasDialNotify notify, int32_t& handle) = 0;
  virtual int32_t HangUp(int32_t handle) = 0;
  // The service's text for an error code; empty when it has none.
  virtual std::string ErrorText(int32_t code) = 0;
  // The service's own text for a dialing state; empty when it has none.
  virtual std::string StateText(int32_t state) = 0;
};

// A system without a remote-access service: no entries, no connections, nothing to dial.
class TNullRasBackend : public TRasBackend {
 public:
  int32_t EnumEntries(TStringList& entries) override;
  int32_t EnumConnections(std::vector<TRasConnection>& connections) override;
  int32_t GetIPAddress(int32_t handle, std::string& address) override;
  int32_t GetEntryDialParams(TRasDialParams& params, bool& hasPassword) override;
  int32_t SetEntryDialParams(const TRasDialParams& params, bool removePassword) override;
  int32_t Dial(const TRasDialParams& params, TRasDialNotify notify, int32_t& handle) override;
  int32_t HangUp(int32_t handle) override;
  std::string ErrorText(int32_t code) override;
  std::string StateText(int32_t state) override;
};

}  // namespace norva
