// TSecretStore: the place outside Config.QDB where passwords are kept (the desktop's keyring).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>

#include "store/Exception.h"

namespace norva {

// What Config.QDB holds in place of a password that is kept in the keyring. Nobody types control
// characters into a password field, and a version that knows no keyring sends it as a wrong
// password.
inline constexpr char kKeyringMarker[] = "\x01norva-keyring\x01";

// True for the keys of Config.QDB whose values are passwords.
bool IsPasswordKey(std::string_view key);

// Names one password by what it belongs to, never by its row: renumbering the mailboxes keeps
// each password with its account. Kind is "pop3", "smtp" or "dialup".
struct TSecretKey {
  std::string Kind;
  std::string Address;
  std::string Server;
  std::string User;
  auto operator<=>(const TSecretKey&) const = default;
  // The item's label as the keyring's own manager shows it.
  std::string Label() const;
};

// A failure of the keyring. Unavailable means there is none to use (no session bus, no
// service, locked where it may not ask): the passwords then simply stay in Config.QDB.
class ESecretStoreError : public Exception {
 public:
  explicit ESecretStoreError(const std::string& message, bool unavailable = false)
      : Exception(message), Unavailable(unavailable) {}
  bool Unavailable;
};

class TSecretStore {
 public:
  virtual ~TSecretStore() = default;
  // Stores or replaces the secret. Raises ESecretStoreError when it could not.
  virtual void Store(const TSecretKey& key, const std::string& secret) = 0;
  // The stored secret, none when there is no such item. Raises ESecretStoreError.
  virtual std::optional<std::string> Lookup(const TSecretKey& key) = 0;
  // Removes the item; no item is no error. Raises ESecretStoreError.
  virtual void Clear(const TSecretKey& key) = 0;
};

// The keyring every new TfrmOptions uses; none (the default) keeps the passwords in the file.
// The programs set it at start; tests give a TfrmOptions their own.
std::shared_ptr<TSecretStore> DefaultSecretStore();
void SetDefaultSecretStore(std::shared_ptr<TSecretStore> store);

}  // namespace norva
