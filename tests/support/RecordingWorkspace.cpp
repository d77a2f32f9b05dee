#include "support/RecordingWorkspace.hpp"

namespace ravnix {

std::expected<void, PlatformError> RecordingWorkspace::openURL(std::string_view url) {
    return record(Call{Call::Kind::openURL, std::string(url)});
}

std::expected<void, PlatformError>
RecordingWorkspace::revealFile(const std::filesystem::path& file) {
    return record(Call{Call::Kind::revealFile, file.string()});
}

std::expected<void, PlatformError> RecordingWorkspace::record(Call call) {
    std::lock_guard lock(callsLock);
    recorded.push_back(std::move(call));
    return {};
}

std::vector<RecordingWorkspace::Call> RecordingWorkspace::calls() const {
    std::lock_guard lock(callsLock);
    return recorded;
}

} // namespace ravnix
