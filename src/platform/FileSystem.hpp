#pragma once
// Small file operations shared by the platform services that keep files of their own.

#include "platform/PlatformError.hpp"

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>

namespace ravnix {

// Owns one file descriptor; closes it when released. Move-only.
class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(std::exchange(other.fd_, -1));
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept;
    // Closes now and reports what close() said (a delayed write error shows up here).
    std::expected<void, PlatformError> close(std::string_view what);

  private:
    int fd_ = -1;
};

// The whole file (at most 16 MiB: a larger one fails with EFBIG). A missing file fails with
// ENOENT, which callers usually treat as "empty".
std::expected<std::string, PlatformError> readFile(const std::filesystem::path& file);

// Replaces `file` so that readers see either the old or the new content, never a mix, even
// across a power cut: a temporary file beside it, written and fsync'ed, renamed over it, then
// the folder fsync'ed (best effort). The folder must exist. The temporary file is removed on
// failure.
std::expected<void, PlatformError> writeFileAtomically(const std::filesystem::path& file,
                                                       std::string_view bytes, mode_t mode = 0600);

// Creates `folder` and its missing parents with `mode` (subject to the umask). Existing
// folders are left as they are; a path part that is not a folder fails with ENOTDIR.
std::expected<void, PlatformError> createFolders(const std::filesystem::path& folder,
                                                 mode_t mode = 0700);

} // namespace ravnix
