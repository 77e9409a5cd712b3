// The host's message pump hook.
#include "store/Pump.h"

#include <utility>

namespace norva {
namespace {
std::function<void()>& PumpHook() {
  static std::function<void()> hook;
  return hook;
}
}  // namespace

void SetMessagePump(std::function<void()> pump) {
  PumpHook() = std::move(pump);
}

void ProcessMessages() {
  if (auto& hook = PumpHook()) hook();
}

}  // namespace norva
