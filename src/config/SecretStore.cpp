// The keyring interface's shared helpers: password keys, item labels, the default keyring.
#include "config/SecretStore.h"

namespace norva {

namespace {

std::shared_ptr<TSecretStore>& DefaultStore() {
  static std::shared_ptr<TSecretStore> store;
  return store;
}

}  // namespace

bool IsPasswordKey(std::string_view key) {
  for (std::string_view prefix :
       {"Address/Password-", "Address/SMTP Password-", "Connection/RASPSW-"})
    if (key.substr(0, prefix.size()) == prefix) return true;
  return false;
}

std::string TSecretKey::Label() const {
  if (Kind == "dialup") return "Norva dial-up password for " + Server;
  return "Norva " + std::string(Kind == "smtp" ? "SMTP" : "POP3") + " password for " + Address +
         " (" + User + "@" + Server + ")";
}

std::shared_ptr<TSecretStore> DefaultSecretStore() {
  return DefaultStore();
}

void SetDefaultSecretStore(std::shared_ptr<TSecretStore> store) {
  DefaultStore() = std::move(store);
}

}  // namespace norva
