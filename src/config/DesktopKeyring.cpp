// The desktop's keyring through libsecret.
#include "config/DesktopKeyring.h"

#include <libsecret/secret.h>

#include <iterator>

namespace norva {

namespace {

// The items' attributes; the schema's reserved members stay zero.
const SecretSchema& Schema() {
  static const SecretSchema schema = [] {
    SecretSchema made{};
    made.name = "org.norva.Password";
    made.flags = SECRET_SCHEMA_NONE;
    const char* names[] = {"kind", "address", "server", "user"};
    for (size_t i = 0; i < std::size(names); ++i)
      made.attributes[i] = {names[i], SECRET_SCHEMA_ATTRIBUTE_STRING};
    return made;
  }();
  return schema;
}

// Takes the error, and raises it as the keyring's failure.
[[noreturn]] void Raise(GError* error, const char* doing, bool unavailable) {
  std::string text = std::string("The desktop keyring could not ") + doing;
  if (error) {
    text += std::string(": ") + error->message;
    g_error_free(error);
  }
  throw ESecretStoreError(text, unavailable);
}

class DesktopKeyring : public TSecretStore {
 public:
  explicit DesktopKeyring(bool interactive) : interactive_(interactive) {}

  void Store(const TSecretKey& key, const std::string& secret) override {
    Reach();
    GError* error = nullptr;
    const std::string label = key.Label();
    if (!secret_password_store_sync(&Schema(), SECRET_COLLECTION_DEFAULT, label.c_str(),
                                    secret.c_str(), nullptr, &error, "kind", key.Kind.c_str(),
                                    "address", key.Address.c_str(), "server", key.Server.c_str(),
                                    "user", key.User.c_str(), nullptr))
      Raise(error, "store a password", false);
  }

  std::optional<std::string> Lookup(const TSecretKey& key) override {
    Reach();
    GError* error = nullptr;
    gchar* secret = secret_password_lookup_sync(
        &Schema(), nullptr, &error, "kind", key.Kind.c_str(), "address", key.Address.c_str(),
        "server", key.Server.c_str(), "user", key.User.c_str(), nullptr);
    if (error) Raise(error, "read a password", false);
    if (!secret) return std::nullopt;
    std::string value(secret);
    secret_password_free(secret);
    return value;
  }

  void Clear(const TSecretKey& key) override {
    Reach();
    GError* error = nullptr;
    secret_password_clear_sync(&Schema(), nullptr, &error, "kind", key.Kind.c_str(), "address",
                               key.Address.c_str(), "server", key.Server.c_str(), "user",
                               key.User.c_str(), nullptr);
    if (error) Raise(error, "remove a password", false);
  }

 private:
  // Connects to the service (libsecret keeps the connection) and finds the default keyring. With
  // none, nothing is stored: creating one would ask the user for a new password in the middle of
  // a save. A locked one is refused before any call could prompt, unless the user may be asked.
  void Reach() {
    GError* error = nullptr;
    SecretService* service =
        secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    if (!service) Raise(error, "be reached", true);
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    g_object_unref(service);
    if (error) Raise(error, "be reached", true);
    if (!collection) throw ESecretStoreError("The desktop has no default keyring", true);
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    if (locked && !interactive_) throw ESecretStoreError("The desktop keyring is locked", true);
  }

  bool interactive_;
};

}  // namespace

std::shared_ptr<TSecretStore> MakeDesktopKeyring(bool interactive) {
  return std::make_shared<DesktopKeyring>(interactive);
}

}  // namespace norva
