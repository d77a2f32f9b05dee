#pragma once
// A socket descriptor owned until Asio takes it over.

#include <unistd.h>
#include <utility>

namespace ravnix::detail {

class SocketFd {
  public:
    SocketFd() noexcept = default;
    explicit SocketFd(int fd) noexcept : fd_(fd) {}
    ~SocketFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    SocketFd(SocketFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    SocketFd& operator=(SocketFd&& other) noexcept {
        if (this != &other) {
            SocketFd doomed(std::exchange(fd_, std::exchange(other.fd_, -1)));
        }
        return *this;
    }
    SocketFd(const SocketFd&) = delete;
    SocketFd& operator=(const SocketFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Hands the descriptor over; this object then owns nothing.
    int release() noexcept { return std::exchange(fd_, -1); }

  private:
    int fd_ = -1;
};

} // namespace ravnix::detail
