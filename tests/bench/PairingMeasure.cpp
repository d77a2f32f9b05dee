// Time from a phone starting its connection to the desktop's pairing request, on loopback with
// the in-process DNS-SD, the key agreement included. The floor is the same connection and hello
// frame taken by a bare listener that only decodes it. Rounds alternate between the two, each
// on a fresh connection. Prints a markdown row for the benchmark summary.

#include "pairing/PairingFraming.hpp"
#include "pairing/PairingListener.hpp"
#include "platform/network/Listener.hpp"
#include "support/FakeDnsSd.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <vector>

using namespace ravnix;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kRounds = 200;
constexpr auto kRoundLimit = std::chrono::seconds(2);
constexpr auto kTotalLimit = std::chrono::seconds(60);

// One moment recorded on another thread, awaited with a limit.
class Mark {
  public:
    void arm() {
        std::lock_guard lock(markLock_);
        at_.reset();
    }
    void set() {
        std::lock_guard lock(markLock_);
        if (!at_) {
            at_ = Clock::now();
        }
        changed_.notify_all();
    }
    std::optional<Clock::time_point> wait() {
        std::unique_lock lock(markLock_);
        changed_.wait_for(lock, kRoundLimit, [&] { return at_.has_value(); });
        return at_;
    }

  private:
    std::mutex markLock_;
    std::condition_variable changed_;
    std::optional<Clock::time_point> at_;
};

// Reads `connection` until a whole frame is in, then marks `got`; keeps reading until the end
// and marks `closed` (when given). The marks are shared: completions may come after a round.
void readFrame(const std::shared_ptr<Connection>& connection,
               std::shared_ptr<std::vector<std::uint8_t>> buffer, std::shared_ptr<Mark> got,
               std::shared_ptr<Mark> closed) {
    connection->receive(1, 8192,
                        [weak = std::weak_ptr(connection), buffer, got,
                         closed](std::span<const std::uint8_t> bytes, bool isComplete,
                                 const std::optional<NetworkError>& error) {
                            buffer->insert(buffer->end(), bytes.begin(), bytes.end());
                            if (auto decoded = PairingFraming::decode(*buffer);
                                decoded && !decoded->empty()) {
                                got->set();
                            }
                            if (error || isComplete) {
                                if (closed) {
                                    closed->set();
                                }
                                return;
                            }
                            if (const auto connection = weak.lock()) {
                                readFrame(connection, buffer, got, closed);
                            }
                        });
}

std::vector<std::uint8_t> helloFrame() {
    const auto handshake = PairingHandshake::make(Pairing::Role::initiator).value();
    const auto& key = handshake.publicKey();
    return PairingFraming::encode(
               PairingHello{"bench-phone", "Bench", "iPhone15,2", {key.begin(), key.end()}})
        .value();
}

double percentileMs(std::vector<Clock::duration> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto at = values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
    return std::chrono::duration<double, std::milli>(at).count();
}

} // namespace

int main() {
    auto queue = DispatchQueue::create("com.belvor.ravnix.pairingbench").value();

    const auto request = std::make_shared<Mark>();
    PairingListener::Options options;
    options.macIdentifier = "BENCH-MAC";
    options.macName = "Bench";
    options.dnsSd = FakeDnsSd::create();
    options.closeDelay = std::chrono::milliseconds(1);
    auto listener = PairingListener::make(options).value();
    listener->setOnRequest([request](const PairingListener::Request&) { request->set(); });
    if (const auto started = listener->start(); !started) {
        std::fprintf(stderr, "pairing listener did not start: %s\n",
                     started.error().text().c_str());
        return 1;
    }

    const auto bareFrame = std::make_shared<Mark>();
    auto bare = Listener::create({Transport::tcp, "127.0.0.1", 0, std::nullopt, nullptr}).value();
    std::vector<std::shared_ptr<Connection>> bareConnections; // touched on the queue only
    bare->setNewConnectionHandler([&](std::shared_ptr<Connection> connection) {
        connection->start(*queue);
        readFrame(connection, std::make_shared<std::vector<std::uint8_t>>(), bareFrame, {});
        bareConnections.push_back(std::move(connection));
    });
    bare->start(*queue);

    // One round: connect, send a hello, wait for `reached`; returns the time taken.
    auto round = [&](std::uint16_t port, Mark& reached,
                     bool answer) -> std::optional<Clock::duration> {
        auto frame = helloFrame(); // the phone's key pair is made before the clock starts
        const auto offer = std::make_shared<Mark>();
        const auto closed = std::make_shared<Mark>();
        reached.arm();
        auto connection = Connection::create(HostEndpoint{"127.0.0.1", port}, Transport::tcp);
        readFrame(connection, std::make_shared<std::vector<std::uint8_t>>(), offer, closed);
        const auto start = Clock::now();
        connection->start(*queue);
        connection->send(std::move(frame));
        const auto at = reached.wait();
        if (answer) {
            listener->respond(false, std::nullopt);
        }
        // The listener takes one phone at a time: the next round waits for this one to end.
        const bool ended = !answer || closed->wait().has_value();
        connection->cancel();
        if (!at || !ended) {
            return std::nullopt;
        }
        return *at - start;
    };

    std::vector<Clock::duration> pairing, floor;
    const auto deadline = Clock::now() + kTotalLimit;
    int lost = 0;
    for (int i = 0; i < kRounds && Clock::now() < deadline; ++i) {
        if (const auto t = round(listener->port(), *request, true)) {
            pairing.push_back(*t);
        } else {
            ++lost;
        }
        if (const auto t = round(bare->port(), *bareFrame, false)) {
            floor.push_back(*t);
        }
    }
    listener->stop();
    listener.reset();
    bare->cancel();
    const auto drained = std::make_shared<Mark>();
    queue->async([&] {
        for (const auto& connection : bareConnections) {
            connection->cancel();
        }
        // Cancelled connections let go of their handlers a turn later.
        queue->async([&, drained] {
            bareConnections.clear();
            drained->set();
        });
    });
    drained->wait();
    bare.reset();
    queue.reset();

    if (pairing.empty()) {
        std::fprintf(stderr, "no pairing request arrived\n");
        return 1;
    }
    const double median = percentileMs(pairing, 0.5);
    const double p99 = percentileMs(pairing, 0.99);
    std::printf("| connection → pairing request (loopback, handshake included, %zu rounds%s) | "
                "median %.2f ms, p99 %.2f ms | bare connect + hello frame: median %.2f ms, p99 "
                "%.2f ms | %s (target ≤ 20 ms) |\n",
                pairing.size(), lost ? ", some lost" : "", median, p99, percentileMs(floor, 0.5),
                percentileMs(floor, 0.99), p99 <= 20.0 ? "met" : "missed");
    return 0;
}
