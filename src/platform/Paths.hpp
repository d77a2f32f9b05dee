#pragma once
// Where the application keeps its files, after the XDG base-directory rules:
//   configuration   $XDG_CONFIG_HOME/ravnix   (default ~/.config/ravnix)
//   logs            $XDG_STATE_HOME/ravnix    (default ~/.local/state/ravnix)
//   data            $XDG_DATA_HOME/ravnix     (default ~/.local/share/ravnix)
// An XDG variable that is unset, empty or relative is ignored in favour of the default.

#include "platform/PlatformError.hpp"

#include <expected>
#include <filesystem>
#include <string>

namespace ravnix {

// The variables the folders depend on, as the process found them ("" when unset). Tests build
// one by hand instead of changing the process environment.
struct PathEnvironment {
    std::string home;
    std::string configHome; // XDG_CONFIG_HOME
    std::string stateHome;  // XDG_STATE_HOME
    std::string dataHome;   // XDG_DATA_HOME

    // Reads the environment; when HOME is unset or relative, the user's passwd entry.
    // Call it where nothing changes the environment at the same time (at start-up).
    static PathEnvironment fromProcess();
};

// A plain value: computing the paths touches nothing; only the make… operations create
// folders. When neither the XDG variable nor the home folder is an absolute path, the folder
// is unknown: its path is empty and making it fails with ENOENT.
class Paths {
  public:
    explicit Paths(const PathEnvironment& environment);

    const std::filesystem::path& configFolder() const noexcept { return configFolder_; }
    const std::filesystem::path& logFolder() const noexcept { return logFolder_; }
    const std::filesystem::path& dataFolder() const noexcept { return dataFolder_; }
    // Holds secrets: created and kept with mode 0700.
    std::filesystem::path keychainFolder() const;

    std::filesystem::path defaultsFile() const;       // configuration: the application's values
    std::filesystem::path domainsFile() const;        // configuration: other domains, read only
    std::filesystem::path applicationLogFile() const; // logs: "pencere.log"
    std::filesystem::path clickLogFile() const;       // logs: "tiklama.log"
    std::filesystem::path motionLogFile() const;      // logs: "hareket.csv"

    // Create the folder with its missing parents, each 0700 as XDG asks of folders it creates,
    // and return its path. Any thread; cheap when it exists.
    std::expected<std::filesystem::path, PlatformError> makeConfigFolder() const;
    std::expected<std::filesystem::path, PlatformError> makeLogFolder() const;
    std::expected<std::filesystem::path, PlatformError> makeDataFolder() const;
    // Also narrows an existing keychain folder to 0700.
    std::expected<std::filesystem::path, PlatformError> makeKeychainFolder() const;

  private:
    std::filesystem::path configFolder_;
    std::filesystem::path logFolder_;
    std::filesystem::path dataFolder_;
};

} // namespace ravnix
