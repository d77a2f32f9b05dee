#pragma once
// Secret items in the desktop's Secret Service (org.freedesktop.secrets on the session bus,
// e.g. GNOME Keyring or KWallet), through libsecret. An item carries two string attributes,
// "service" and "account", under the schema "com.belvor.ravnix.SecretItem"; new items go to
// the default collection with the label "Ravnix pairings". Built into ravnix_platform_secret,
// so only programs that choose this backend link libsecret.

#include "platform/secret/SecretStore.hpp"

namespace ravnix {

class SecretServiceStore final : public SecretStore {
  public:
    static constexpr const char* schemaName = "com.belvor.ravnix.SecretItem";
    static constexpr const char* itemLabel = "Ravnix pairings";

    // Touches nothing: the session bus is reached at the first call, and again at later calls
    // for as long as that fails. libsecret keeps one connection for the whole process; the
    // process no longer exits when the session bus goes away (GLib's default).
    SecretServiceStore() = default;

    // Locked items are unlocked first, which may show the desktop's unlock prompt and then
    // waits for the user; an unlock that is refused gives `locked`.
    SecretReadResult read(const SecretItemAddress& address) override;
    // Sets the secret of the item that is found, in whatever collection holds it.
    SecretStatus update(const SecretItemAddress& address,
                        std::span<const std::uint8_t> bytes) override;
    // The accessibility level is that of the default collection: readable while the user's
    // login keyring is unlocked, never synchronised elsewhere.
    SecretStatus add(const SecretItemAddress& address, std::span<const std::uint8_t> bytes,
                     SecretAccessibility accessibility) override;
    std::string description() const override { return "secret-service (org.freedesktop.secrets)"; }
};

} // namespace ravnix
