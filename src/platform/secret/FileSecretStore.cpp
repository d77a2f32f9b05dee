#include "platform/secret/FileSecretStore.hpp"

#include "platform/FileSystem.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace ravnix {

namespace {

// NAME_MAX, less the suffix of the temporary file written beside the item.
constexpr std::size_t longestItemName = 255 - std::string_view(".tmp-XXXXXX").size();

void appendEncoded(std::string& name, std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        const bool isPlain = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                             (byte >= '0' && byte <= '9') || byte == '.' || byte == '_' ||
                             byte == '-';
        if (isPlain) {
            name.push_back(c);
        } else {
            name.push_back('%');
            name.push_back(hex[byte >> 4]);
            name.push_back(hex[byte & 0x0F]);
        }
    }
}

mode_t fileMode(SecretAccessibility accessibility) {
    switch (accessibility) {
    case SecretAccessibility::afterFirstUnlockThisDeviceOnly:
        break;
    }
    return 0600;
}

// A temporary file that is removed unless it has been renamed into place.
class TemporaryFile {
  public:
    explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
    ~TemporaryFile() { removeNow(); }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    const std::string& path() const noexcept { return path_; }
    void renamed() noexcept { path_.clear(); }
    void removeNow() noexcept {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
            path_.clear();
        }
    }

  private:
    std::string path_;
};

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + written, bytes.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        written += static_cast<std::size_t>(count);
    }
    return true;
}

// Makes a rename or link durable. Best effort: the new name is in place either way, and some
// file systems refuse fsync on a folder.
void syncFolder(const std::filesystem::path& folder) {
    UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) {
        (void)::fsync(fd.get());
    }
}

bool cannotLink(int code) {
    return code == EPERM || code == ENOTSUP || code == EOPNOTSUPP || code == ENOSYS;
}

} // namespace

FileSecretStore::FileSecretStore(Paths paths, CommitHook beforeCommit)
    : paths(std::move(paths)), beforeCommit(std::move(beforeCommit)) {}

std::string FileSecretStore::description() const {
    return "dosya " + paths.keychainFolder().string();
}

std::filesystem::path FileSecretStore::itemFile(const SecretItemAddress& address) const {
    const std::filesystem::path folder = paths.keychainFolder();
    if (folder.empty()) {
        return {};
    }
    std::string name;
    appendEncoded(name, address.service);
    name.push_back('+'); // never produced by the encoding, so the split is unambiguous
    appendEncoded(name, address.account);
    name += ".secret";
    if (name.size() > longestItemName) {
        return {};
    }
    return folder / name;
}

SecretReadResult FileSecretStore::read(const SecretItemAddress& address) {
    const std::filesystem::path file = itemFile(address);
    if (file.empty()) {
        return {paths.keychainFolder().empty() ? SecretStatusCode::storageFailed
                                               : SecretStatusCode::invalidAddress,
                {}};
    }
    auto content = readFile(file);
    if (!content) {
        const bool isMissing = content.error().code == ENOENT || content.error().code == ENOTDIR;
        return {isMissing ? SecretStatusCode::itemNotFound : SecretStatusCode::storageFailed, {}};
    }
    return {SecretStatusCode::success, std::vector<std::uint8_t>(content->begin(), content->end())};
}

SecretStatus FileSecretStore::update(const SecretItemAddress& address,
                                     std::span<const std::uint8_t> bytes) {
    // Every item has the one accessibility level there is, so its file keeps (or gets back)
    // that level's mode.
    return write(address, bytes, Commit::replace,
                 fileMode(SecretAccessibility::afterFirstUnlockThisDeviceOnly));
}

SecretStatus FileSecretStore::add(const SecretItemAddress& address,
                                  std::span<const std::uint8_t> bytes,
                                  SecretAccessibility accessibility) {
    return write(address, bytes, Commit::create, fileMode(accessibility));
}

SecretStatus FileSecretStore::write(const SecretItemAddress& address,
                                    std::span<const std::uint8_t> bytes, Commit commit,
                                    mode_t mode) {
    const std::filesystem::path file = itemFile(address);
    if (file.empty()) {
        return paths.keychainFolder().empty() ? SecretStatusCode::storageFailed
                                              : SecretStatusCode::invalidAddress;
    }
    if (commit == Commit::replace) {
        struct stat status {};
        if (::lstat(file.c_str(), &status) != 0) {
            return errno == ENOENT || errno == ENOTDIR ? SecretStatusCode::itemNotFound
                                                       : SecretStatusCode::storageFailed;
        }
        if (!S_ISREG(status.st_mode)) {
            return SecretStatusCode::storageFailed;
        }
    }
    const auto folder = paths.makeKeychainFolder();
    if (!folder) {
        return SecretStatusCode::storageFailed;
    }

    std::string pattern = file.string() + ".tmp-XXXXXX";
    UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) {
        return SecretStatusCode::storageFailed;
    }
    TemporaryFile temporary(pattern);
    if (::fchmod(fd.get(), mode) != 0 || !writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 ||
        !fd.close(pattern)) {
        return SecretStatusCode::storageFailed;
    }
    if (beforeCommit) {
        beforeCommit(temporary.path());
    }

    if (commit == Commit::replace) {
        if (::rename(temporary.path().c_str(), file.c_str()) != 0) {
            return SecretStatusCode::storageFailed;
        }
        temporary.renamed();
    } else if (::link(temporary.path().c_str(), file.c_str()) == 0) {
        temporary.removeNow(); // the item's name now holds the data
    } else if (errno == EEXIST) {
        return SecretStatusCode::duplicateItem;
    } else if (cannotLink(errno)) {
        // A file system without hard links: check, then rename. Only another process adding
        // the same item at the same moment could slip in between.
        struct stat status {};
        if (::lstat(file.c_str(), &status) == 0) {
            return SecretStatusCode::duplicateItem;
        }
        if (errno != ENOENT || ::rename(temporary.path().c_str(), file.c_str()) != 0) {
            return SecretStatusCode::storageFailed;
        }
        temporary.renamed();
    } else {
        return SecretStatusCode::storageFailed;
    }
    syncFolder(*folder);
    return SecretStatusCode::success;
}

} // namespace ravnix
