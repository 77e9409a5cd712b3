// TagRas: lists the system's dial-up entries, tells whether a connection is up, dials an entry
// and waits for the connection, and hangs up a connection it dialed itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mail/agrasAPI.h"
#include "mail/agsocket.h"
#include "mail/msutils.h"
#include "store/Exception.h"
#include "store/Object.h"

namespace norva {

using TRASNotifyEvent = std::function<void(TObject& sender, const std::string& rasStatusStr)>;

// A remote-access failure; the message is RasErrorText of Code.
class ERASError : public Exception {
 public:
  ERASError(const std::string& message, int32_t code) : Exception(message), Code(code) {}
  int32_t Code;
};

class TagRas : public TObject, public TagDialUp {
 public:
  // A null backend stands for the system's service when none is given.
  explicit TagRas(std::shared_ptr<TRasBackend> backend = nullptr);
  ~TagRas() override;
  TagRas(const TagRas&) = delete;
  TagRas& operator=(const TagRas&) = delete;

  // ---- properties ----
  TStringList Entries;
  const std::string& Service() const { return service_; }
  // Accepts an empty name or one of Entries; otherwise shows an error dialog.
  void SetService(const std::string& value);
  int32_t Handle = -1;
  TRASNotifyEvent OnStatusChange;
  TNotifyEvent OnDisconnected;
  // Shows the setter's error texts; the application binds it to its desktop.
  std::function<void(const std::string& text)> OnErrorDialog;
  // Kept for the settings; the desktop has no dialing dialog to minimise.
  bool MinimizeAtConnect = false;
  bool Dialing = false;
  std::string Password;
  bool RemovePassword = true;
  bool ForceService = true;
  int32_t LastError = 0;
  TTimeCounter Counter;
  bool HungUp = false;
  bool Connected = false;
  int32_t TimeOut() const { return Counter.TimeOut; }
  void SetTimeOut(int32_t seconds) { Counter.TimeOut = seconds; }

  // ---- operations ----
  void EnumEntries();
  bool HasEntries() const { return !Entries.empty(); }
  bool IsConnected();
  void Dial() override;
  void HangUp() override;
  void ResetState();
  std::string StateText(int32_t state);
  std::string RasErrorText(int32_t code);

 private:
  // One dialing report from the backend.
  void DialEvent(int32_t state, int32_t error);
  // Ends the connection this component dialed, without marking it hung up by the user.
  void DoHangUp();
  [[noreturn]] void RaiseRasError(int32_t code);

  std::shared_ptr<TRasBackend> backend_;
  std::string service_;
  // Reports reach the component through this token and are dropped once it is gone, or once
  // the attempt they belong to has been hung up or replaced by another.
  std::shared_ptr<TagRas*> self_;
  uint32_t attempt_ = 0;
  bool serviceUp_ = false;  // IsConnected found a connection of Service
};

}  // namespace norva
