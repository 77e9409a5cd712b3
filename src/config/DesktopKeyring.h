// The desktop's keyring through libsecret: any Secret Service (GNOME Keyring, KWallet, KeePassXC).
#pragma once

#include <memory>

#include "config/SecretStore.h"

namespace norva {

// The default keyring on the session bus; a desktop without one counts as having none.
// Interactive lets the service ask the user to unlock it; otherwise a locked keyring counts as
// none too (norva-cli must never wait for a prompt).
std::shared_ptr<TSecretStore> MakeDesktopKeyring(bool interactive);

}  // namespace norva
