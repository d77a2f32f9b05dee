#include "platform/Paths.hpp"

#include "platform/FileSystem.hpp"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ravnix {

namespace {
constexpr const char* applicationFolder = "ravnix";

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string passwdHome() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr) {
        return {};
    }
    return found->pw_dir;
}

// The XDG variable when it is absolute, else `fallback` under an absolute home, else unknown.
std::filesystem::path baseFolder(const std::string& xdg, const std::string& home,
                                 const char* fallback) {
    const std::filesystem::path given(xdg);
    if (given.is_absolute()) {
        return given / applicationFolder;
    }
    const std::filesystem::path homeFolder(home);
    if (homeFolder.is_absolute()) {
        return homeFolder / fallback / applicationFolder;
    }
    return {};
}

std::expected<std::filesystem::path, PlatformError> make(const std::filesystem::path& folder) {
    if (folder.empty()) {
        return std::unexpected(PlatformError{"mkdir(home folder unknown)", ENOENT});
    }
    if (auto made = createFolders(folder, 0700); !made) {
        return std::unexpected(made.error());
    }
    return folder;
}
} // namespace

PathEnvironment PathEnvironment::fromProcess() {
    PathEnvironment environment{variable("HOME"), variable("XDG_CONFIG_HOME"),
                                variable("XDG_STATE_HOME"), variable("XDG_DATA_HOME")};
    if (!std::filesystem::path(environment.home).is_absolute()) {
        environment.home = passwdHome();
    }
    return environment;
}

Paths::Paths(const PathEnvironment& environment)
    : configFolder_(baseFolder(environment.configHome, environment.home, ".config")),
      logFolder_(baseFolder(environment.stateHome, environment.home, ".local/state")),
      dataFolder_(baseFolder(environment.dataHome, environment.home, ".local/share")) {}

std::filesystem::path Paths::keychainFolder() const {
    return dataFolder_.empty() ? dataFolder_ : dataFolder_ / "keychain";
}

namespace {
std::filesystem::path inFolder(const std::filesystem::path& folder, const char* name) {
    return folder.empty() ? folder : folder / name;
}
} // namespace

std::filesystem::path Paths::defaultsFile() const {
    return inFolder(configFolder_, "defaults.json");
}
std::filesystem::path Paths::domainsFile() const {
    return inFolder(configFolder_, "global.json");
}
std::filesystem::path Paths::applicationLogFile() const {
    return inFolder(logFolder_, "pencere.log");
}
std::filesystem::path Paths::clickLogFile() const {
    return inFolder(logFolder_, "tiklama.log");
}
std::filesystem::path Paths::motionLogFile() const {
    return inFolder(logFolder_, "hareket.csv");
}

std::expected<std::filesystem::path, PlatformError> Paths::makeConfigFolder() const {
    return make(configFolder_);
}

std::expected<std::filesystem::path, PlatformError> Paths::makeLogFolder() const {
    return make(logFolder_);
}

std::expected<std::filesystem::path, PlatformError> Paths::makeDataFolder() const {
    return make(dataFolder_);
}

std::expected<std::filesystem::path, PlatformError> Paths::makeKeychainFolder() const {
    auto folder = make(keychainFolder());
    if (!folder) {
        return folder;
    }
    // mkdir's mode passes through the umask, and an older folder may be wider: set it exactly.
    struct stat status {};
    if (::stat(folder->c_str(), &status) != 0) {
        return std::unexpected(PlatformError{"stat(" + folder->string() + ")", errno});
    }
    if ((status.st_mode & 07777) != 0700 && ::chmod(folder->c_str(), 0700) != 0) {
        return std::unexpected(PlatformError{"chmod(" + folder->string() + ")", errno});
    }
    return folder;
}

} // namespace ravnix
