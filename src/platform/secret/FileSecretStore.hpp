#pragma once
// Secret items as private files, for desktops without a Secret Service: one file per item in
// the keychain folder ($XDG_DATA_HOME/ravnix/keychain/, mode 0700), each file mode 0600 and
// holding the item's bytes as they are. The files are as safe as the user's account: anyone
// who can read the user's files can read the items.

#include "platform/Paths.hpp"
#include "platform/secret/SecretStore.hpp"

#include <filesystem>
#include <functional>
#include <sys/types.h>

namespace ravnix {

class FileSecretStore final : public SecretStore {
  public:
    // Runs after an item's new bytes are written and synced to a temporary file beside it and
    // before that file takes the item's place: the crash tests stop the process there.
    using CommitHook = std::function<void(const std::filesystem::path& temporaryFile)>;

    // Items live in paths.keychainFolder(); the folder is made (or narrowed) to 0700 before
    // every write. Construction touches nothing. When the folder is unknown (no home folder),
    // every call fails with storageFailed.
    explicit FileSecretStore(Paths paths, CommitHook beforeCommit = {});

    SecretReadResult read(const SecretItemAddress& address) override;
    // Writes a temporary file (fsync'ed) and renames it over the item, so that a reader or a
    // crash sees the old bytes or the new ones, never a mix.
    SecretStatus update(const SecretItemAddress& address,
                        std::span<const std::uint8_t> bytes) override;
    // Like update(), but the temporary file is linked to the item's name, which fails when the
    // item exists: two processes adding the same item cannot both succeed.
    SecretStatus add(const SecretItemAddress& address, std::span<const std::uint8_t> bytes,
                     SecretAccessibility accessibility) override;
    std::string description() const override;

    // The item's file: "<service>+<account>.secret" with every byte but letters, digits and
    // "._-" written as %XX, so that any names stay one file inside the folder. Empty when the
    // folder is unknown or the name would be longer than a file name may be.
    std::filesystem::path itemFile(const SecretItemAddress& address) const;

  private:
    enum class Commit { replace, create };
    SecretStatus write(const SecretItemAddress& address, std::span<const std::uint8_t> bytes,
                       Commit commit, mode_t mode);

    const Paths paths;
    const CommitHook beforeCommit;
};

} // namespace ravnix
