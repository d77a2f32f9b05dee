// Link server costs measured against their floors in the same run:
//  - ping → pong round trips through the server vs a bare blocking UDP echo thread;
//  - the receive path per authenticated 3-finger frame to a no-op consumer vs bare recv(),
//    and the heap allocations it makes per frame (every allocation of the program counted).
// The receive side is measured alone: the socket queue is filled while the receiver waits
// at a gate, then the drain is timed. Prints markdown rows for the benchmark summary.

#include "link/LinkServer.hpp"
#include "packet/PacketCodec.hpp"
#include "transport/MonotonicClock.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <netinet/in.h>
#include <new>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace ravnix;

namespace {
std::atomic<std::uint64_t> allocations{0};
} // namespace

// Replace the global ones, so that malloc and free pair up; GCC cannot see that.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
#pragma GCC diagnostic pop

namespace {

constexpr int kRoundTrips = 20'000;
constexpr int kBatch = 120; // fits the default socket receive buffer on loopback
constexpr int kBatches = 200;
const std::array<std::uint8_t, 32> kKey{9, 8, 7, 6, 5, 4, 3, 2, 1};

std::uint16_t portOf(int fd) {
    sockaddr_in record{};
    socklen_t length = sizeof record;
    getsockname(fd, reinterpret_cast<sockaddr*>(&record), &length);
    return ntohs(record.sin_port);
}

template <typename T> double percentile(std::vector<T> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return static_cast<double>(
        values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))]);
}

// A gate the receiver waits at while the queue fills; records when the batch is done.
struct Gate {
    std::mutex gateLock;
    std::condition_variable opened;
    bool isOpen = false;
    std::atomic<int> seen{0};
    std::atomic<std::uint64_t> openedAt{0}, doneAt{0};
    int target = 0;

    void arm(int frames) {
        std::lock_guard lock(gateLock);
        isOpen = false;
        seen = 0;
        target = frames;
        doneAt = 0;
    }
    // Called by the receiver for each datagram.
    void onDatagram() {
        const int n = seen.fetch_add(1) + 1;
        if (n == 1) {
            std::unique_lock lock(gateLock);
            opened.wait(lock, [&] { return isOpen; });
        } else if (n == target) {
            doneAt = MonotonicClock::now();
        }
    }
    void open() {
        {
            std::lock_guard lock(gateLock);
            isOpen = true;
            openedAt = MonotonicClock::now();
        }
        opened.notify_all();
    }
};

class NoOpConsumer : public TouchFrameConsumer {
  public:
    explicit NoOpConsumer(Gate& gate) : gate(gate) {}
    void handle(const TouchHeader&, std::span<const FingerSample>) override { gate.onDatagram(); }
    void setPeerRoute(bool) override {}
    bool isButtonDown() const override { return false; }
    void safetyRelease() override {}
    std::uint64_t clampedJumps() const override { return 0; }
    Gate& gate;
};

std::size_t authenticatedFrame(std::span<std::uint8_t> out, std::uint32_t sequence) {
    const PacketAuthenticator auth(kKey, 5);
    const std::array<FingerSample, 3> fingers{FingerSample{1, FingerPhase::moved, 0.1f, 0.2f, 5},
                                              FingerSample{2, FingerPhase::moved, 0.3f, 0.4f, 5},
                                              FingerSample{3, FingerPhase::moved, 0.5f, 0.6f, 5}};
    const std::size_t body =
        PacketCodec::encodeTouch({sequence, sequence, 0, 3, {}, 1}, fingers, out).value();
    return PacketCodec::appendTrailer(5, auth.tag(out.first(body)), out, body).value();
}

// Sends one batch of frames, waits until the receiver took them all, returns ns per frame.
double drainBatch(UDPSocket& sender, const SocketAddress& to, Gate& gate, std::uint32_t& sequence) {
    gate.arm(kBatch);
    std::array<std::uint8_t, 112> packet{};
    for (int i = 0; i < kBatch; ++i) {
        (void)sender.send(std::span(packet).first(authenticatedFrame(packet, ++sequence)), to);
    }
    // Let the queue settle: the first frame is parked at the gate, the rest are queued.
    while (gate.seen.load() == 0) {
        std::this_thread::yield();
    }
    gate.open();
    const auto deadline = MonotonicClock::now() + 2'000'000'000ULL;
    while (gate.doneAt.load() == 0 && MonotonicClock::now() < deadline) {
        std::this_thread::yield();
    }
    if (gate.doneAt.load() == 0) {
        return -1; // some datagrams were dropped; the batch does not count
    }
    return static_cast<double>(gate.doneAt.load() - gate.openedAt.load()) / (kBatch - 1);
}

} // namespace

int main() {
    auto client = UDPSocket::create().value();
    (void)client->bind(0);
    (void)client->setReceiveTimeout(1.0);

    // Bare echo floor.
    auto echo = UDPSocket::create().value();
    (void)echo->bind(0);
    (void)echo->setReceiveTimeout(0.25);
    std::atomic<bool> echoRunning{true};
    std::thread echoThread([&] {
        std::array<std::uint8_t, 112> buffer{};
        while (echoRunning.load()) {
            if (auto got = echo->receive(buffer); got && got->has_value()) {
                (void)echo->send(std::span(buffer).first((*got)->count), (*got)->sender);
            }
        }
    });

    Gate gate;
    auto consumer = std::make_shared<NoOpConsumer>(gate);
    auto server = LinkServer::make(0, consumer);
    server->updateAuthenticators({PacketAuthenticator(kKey, 5)});
    if (!server->start()) {
        std::fprintf(stderr, "link server did not start\n");
        return 1;
    }

    auto roundTrips = [&](std::uint16_t port, int count) {
        const auto to = SocketAddress::make("127.0.0.1", port).value();
        std::vector<std::uint64_t> rtt;
        rtt.reserve(static_cast<std::size_t>(count));
        std::array<std::uint8_t, 24> ping{};
        std::array<std::uint8_t, 112> reply{};
        for (int i = 0; i < count; ++i) {
            (void)PacketCodec::encodeControl(
                {PacketKind::ping, static_cast<std::uint32_t>(i), 1, 0}, ping);
            const auto start = MonotonicClock::now();
            (void)client->send(ping, to);
            auto got = client->receive(reply);
            if (got && got->has_value()) {
                rtt.push_back(MonotonicClock::now() - start);
            }
        }
        return rtt;
    };
    std::vector<std::uint64_t> bareRtt, serverRtt;
    // 20 alternating rounds of 1,000: load changes on the machine hit both sides alike.
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        const auto b = roundTrips(portOf(echo->descriptor()), kRoundTrips / kRounds);
        const auto s = roundTrips(server->boundPort(), kRoundTrips / kRounds);
        bareRtt.insert(bareRtt.end(), b.begin(), b.end());
        serverRtt.insert(serverRtt.end(), s.begin(), s.end());
    }
    echoRunning = false;
    echoThread.join();

    // Receive path: link server drain vs bare recv() drain.
    auto sender = UDPSocket::create().value();
    (void)sender->bind(0);
    const auto serverAddress = SocketAddress::make("127.0.0.1", server->boundPort()).value();
    std::uint32_t sequence = 0;
    std::vector<double> serverPerFrame, barePerFrame;

    auto bare = UDPSocket::create().value();
    (void)bare->bind(0);
    (void)bare->setReceiveTimeout(0.25);
    const auto bareAddress = SocketAddress::make("127.0.0.1", portOf(bare->descriptor())).value();
    Gate bareGate;
    std::atomic<bool> bareRunning{true};
    std::thread bareThread([&] {
        std::array<std::uint8_t, 112> buffer{};
        while (bareRunning.load()) {
            const ssize_t n = ::recv(bare->descriptor(), buffer.data(), buffer.size(), 0);
            if (n > 0) {
                bareGate.onDatagram();
            }
        }
    });
    std::uint64_t serverAllocations = 0;
    for (int i = 0; i < kBatches; ++i) {
        const std::uint64_t before = allocations.load();
        const double s = drainBatch(*sender, serverAddress, gate, sequence);
        if (i > 0) { // the first batch warms up
            serverAllocations += allocations.load() - before;
        }
        if (s > 0) {
            serverPerFrame.push_back(s);
        }
        if (const double b = drainBatch(*sender, bareAddress, bareGate, sequence); b > 0) {
            barePerFrame.push_back(b);
        }
    }
    bareRunning = false;
    bareThread.join();
    server->stop();

    const double bareMedian = percentile(bareRtt, 0.5) / 1000.0;
    const double serverMedian = percentile(serverRtt, 0.5) / 1000.0;
    const double recvFloor = percentile(barePerFrame, 0.5);
    const double recvServer = percentile(serverPerFrame, 0.5);
    std::printf(
        "| ping → pong through LinkServer (median / p99, %zu round trips) | %.1f µs / %.1f µs "
        "| bare UDP echo: %.1f µs / %.1f µs | ratio %.2f (target ≤ 1.10) |\n",
        serverRtt.size(), serverMedian, percentile(serverRtt, 0.99) / 1000.0, bareMedian,
        percentile(bareRtt, 0.99) / 1000.0, serverMedian / bareMedian);
    std::printf("| receive path per authenticated 3-finger frame (%zu batches of %d) | %.0f ns "
                "(%.0f frames/s) | bare recv(): %.0f ns | ratio %.2f (target ≤ 2.00) |\n",
                serverPerFrame.size(), kBatch, recvServer, 1e9 / recvServer, recvFloor,
                recvServer / recvFloor);
    const double framesCounted = static_cast<double>((kBatches - 1) * kBatch);
    std::printf("| heap allocations on the receive path (%.0f frames, after one warm-up batch) | "
                "%.3f per frame | | target 0 |\n",
                framesCounted, static_cast<double>(serverAllocations) / framesCounted);
    return 0;
}
