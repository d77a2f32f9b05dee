#pragma once

#include "platform/Workspace.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace ravnix {

// Keeps every request instead of acting on it, for the tests of the modules that use a
// workspace.
class RecordingWorkspace final : public Workspace {
  public:
    struct Call {
        enum class Kind { openURL, revealFile };
        Kind kind;
        std::string target; // the URL, or the file's path as given
        bool operator==(const Call&) const = default;
    };

    std::expected<void, PlatformError> openURL(std::string_view url) override;
    std::expected<void, PlatformError> revealFile(const std::filesystem::path& file) override;

    std::vector<Call> calls() const;

  private:
    std::expected<void, PlatformError> record(Call call);

    mutable std::mutex callsLock; // guards recorded
    std::vector<Call> recorded;
};

} // namespace ravnix
