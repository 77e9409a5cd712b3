// The desktop's keyring through libsecret: any Secret Service (GNOME Keyring, KWallet, KeePassXC).
#pragma once

#include <memory>

#include "config/SecretStore.h"

namespace norva {

// A keyring on the session bus. Interactive lets the service ask the user to unlock a locked
// keyring; otherwise a locked keyring counts as none (norva-cli must never wait for a prompt).
std::shared_ptr<TSecretStore> MakeDesktopKeyring(bool interactive);

}  // namespace norva
