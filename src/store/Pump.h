// The host's message pump: long work lets pending user-interface events run through it.
#pragma once

#include <functional>

namespace norva {

// Installs the hook that processes pending user-interface events; an empty hook does nothing.
void SetMessagePump(std::function<void()> pump);

// Runs the installed hook once.
void ProcessMessages();

}  // namespace norva
