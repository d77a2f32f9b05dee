#include "platform/FileSystem.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ravnix {

namespace {
constexpr std::size_t largestReadableFile = 16 * 1024 * 1024;

PlatformError failure(std::string_view call, const std::filesystem::path& path, int code) {
    return PlatformError{std::string(call) + "(" + path.string() + ")", code};
}
} // namespace

void UniqueFd::reset(int fd) noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
}

std::expected<void, PlatformError> UniqueFd::close(std::string_view what) {
    const int fd = std::exchange(fd_, -1);
    if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) {
        return std::unexpected(PlatformError{"close(" + std::string(what) + ")", errno});
    }
    return {};
}

std::expected<std::string, PlatformError> readFile(const std::filesystem::path& file) {
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return std::unexpected(failure("open", file, errno));
    }
    std::string content;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(fd.get(), buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(failure("read", file, errno));
        }
        if (count == 0) {
            return content;
        }
        if (content.size() + static_cast<std::size_t>(count) > largestReadableFile) {
            return std::unexpected(failure("read", file, EFBIG));
        }
        content.append(buffer, static_cast<std::size_t>(count));
    }
}

std::expected<void, PlatformError> writeFileAtomically(const std::filesystem::path& file,
                                                       std::string_view bytes, mode_t mode) {
    const std::filesystem::path folder = file.parent_path().empty() ? "." : file.parent_path();
    std::string temporary = file.string() + ".tmp-XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd) {
        return std::unexpected(failure("mkostemp", temporary, errno));
    }
    // Removes the temporary file unless it has been renamed into place.
    struct Leftover {
        std::string path;
        ~Leftover() {
            if (!path.empty()) {
                ::unlink(path.c_str());
            }
        }
    } leftover{temporary};

    if (::fchmod(fd.get(), mode) != 0) {
        return std::unexpected(failure("fchmod", temporary, errno));
    }
    std::size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
        if (count < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::unexpected(failure("write", temporary, errno));
        }
        written += static_cast<std::size_t>(count);
    }
    if (::fsync(fd.get()) != 0) {
        return std::unexpected(failure("fsync", temporary, errno));
    }
    if (auto closed = fd.close(temporary); !closed) {
        return closed;
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        return std::unexpected(failure("rename", file, errno));
    }
    leftover.path.clear();
    // Makes the rename itself durable. Best effort: the new content is in place either way,
    // and some file systems refuse fsync on a folder.
    UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd) {
        (void)::fsync(folderFd.get());
    }
    return {};
}

std::expected<void, PlatformError> createFolders(const std::filesystem::path& folder, mode_t mode) {
    std::filesystem::path built;
    for (const auto& part : folder) {
        built /= part;
        if (part.empty() || part == built.root_path()) {
            continue;
        }
        if (::mkdir(built.c_str(), mode) == 0) {
            continue;
        }
        const int code = errno;
        struct stat status {};
        if (code == EEXIST && ::stat(built.c_str(), &status) == 0) {
            if (S_ISDIR(status.st_mode)) {
                continue;
            }
            return std::unexpected(failure("mkdir", built, ENOTDIR));
        }
        return std::unexpected(failure("mkdir", built, code));
    }
    return {};
}

} // namespace ravnix
