#pragma once
// A recording stand-in for the touch interpreter, a hand-driven clock, and a loopback
// "phone" that sends authenticated frames and control packets to a LinkServer.

#include "link/LinkServer.hpp"
#include "packet/PacketCodec.hpp"
#include "support/Eventually.hpp"
#include "unit/platform/network/NetworkTestSupport.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace ravnix::test {

class RecordingInterpreter : public TouchFrameConsumer {
  public:
    struct Frame {
        TouchHeader header;
        std::vector<FingerSample> fingers;
        bool isPeerRoute = false;
    };

    // With recordFrames off nothing is allocated per frame (for the allocation count).
    explicit RecordingInterpreter(bool recordFrames = true) : recordFrames(recordFrames) {}

    void handle(const TouchHeader& header, std::span<const FingerSample> fingers) override {
        EXPECT_FALSE(inside.exchange(true)) << "interpreter entered twice at once";
        handled.fetch_add(1);
        if (recordFrames) {
            std::lock_guard lock(framesLock);
            frames.push_back({header, {fingers.begin(), fingers.end()}, peerRoute});
        }
        inside.store(false);
    }
    void setPeerRoute(bool isPeerRoute) override { peerRoute = isPeerRoute; }
    bool isButtonDown() const override { return buttonDown.load(); }
    void safetyRelease() override {
        EXPECT_FALSE(inside.exchange(true)) << "safety release overlapped a frame";
        releases.fetch_add(1);
        buttonDown.store(false);
        inside.store(false);
    }
    std::uint64_t clampedJumps() const override { return clamped.load(); }

    std::vector<Frame> takeFrames() {
        std::lock_guard lock(framesLock);
        return std::exchange(frames, {});
    }

    std::atomic<bool> buttonDown{false};
    std::atomic<int> releases{0};
    std::atomic<std::uint64_t> handled{0};
    std::atomic<std::uint64_t> clamped{0};

  private:
    const bool recordFrames;
    bool peerRoute = false; // written and read under the server's interpreter lock
    std::atomic<bool> inside{false};
    std::mutex framesLock;
    std::vector<Frame> frames;
};

// The server's time, moved only by the test: silences and windows are exact, however slow
// the machine.
struct HandClock {
    std::atomic<std::uint64_t> now{1'000'000'000'000ULL};
    void advance(std::chrono::nanoseconds by) {
        now.fetch_add(static_cast<std::uint64_t>(by.count()));
    }
    LinkServer::Clock function() {
        return [this] { return now.load(); };
    }
};

template <typename Predicate>
bool waitUntil(Predicate predicate,
               std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    return test::eventually(predicate, limit);
}

inline const std::array<std::uint8_t, 32> kKey{
    0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f,
    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,   16};

// Builds datagrams the way a phone would.
struct PhoneSide {
    std::uint32_t pairingID = 7;
    PacketAuthenticator authenticator{kKey, 7};

    std::size_t touch(std::span<std::uint8_t> out, std::uint32_t sequence, int fingers = 1,
                      TouchFlags flags = {}) const {
        std::array<FingerSample, 5> samples{};
        for (int i = 0; i < fingers; ++i) {
            samples[static_cast<std::size_t>(i)] = {static_cast<std::uint8_t>(i + 1),
                                                    FingerPhase::moved,
                                                    0.1f * static_cast<float>(i), 0.5f, 6.0f};
        }
        const TouchHeader header{sequence, 1'000'000ULL * sequence, 0.0f, 0, flags, 1};
        const std::size_t body =
            PacketCodec::encodeTouch(
                header, std::span(samples).first(static_cast<std::size_t>(fingers)), out)
                .value();
        return PacketCodec::appendTrailer(pairingID, authenticator.tag(out.first(body)), out, body)
            .value();
    }

    static std::size_t control(std::span<std::uint8_t> out, PacketKind kind, std::uint32_t sequence,
                               std::uint64_t time) {
        return PacketCodec::encodeControl({kind, sequence, time, 0}, out).value();
    }
};

// A UDP socket on 127.0.0.1 talking to the server under test.
struct LoopbackPhone {
    std::shared_ptr<UDPSocket> socket;
    SocketAddress server;

    explicit LoopbackPhone(std::uint16_t serverPort)
        : socket(UDPSocket::create().value()),
          server(SocketAddress::make("127.0.0.1", serverPort).value()) {
        EXPECT_TRUE(socket->bind(0));
        EXPECT_TRUE(socket->setReceiveTimeout(2.0));
    }
    void send(std::span<const std::uint8_t> bytes) { ASSERT_TRUE(socket->send(bytes, server)); }
    // The next datagram, or nothing within the receive timeout.
    std::optional<std::vector<std::uint8_t>> receive() {
        std::array<std::uint8_t, 112> buffer{};
        auto got = socket->receive(buffer);
        if (!got || !got->has_value()) {
            return std::nullopt;
        }
        return std::vector<std::uint8_t>(buffer.begin(),
                                         buffer.begin() + static_cast<long>((*got)->count));
    }
    // A ping answered means every datagram sent before it has been through the loop. What
    // else the server sent meanwhile (notices, byes) is counted in `received`.
    void sync(std::uint32_t sequence = 900) {
        std::array<std::uint8_t, 24> ping{};
        PhoneSide::control(ping, PacketKind::ping, sequence, 1);
        send(ping);
        for (int i = 0; i < 16; ++i) {
            auto reply = receive();
            ASSERT_TRUE(reply) << "no pong for ping " << sequence;
            auto header = PacketCodec::peekHeader(*reply);
            ASSERT_TRUE(header && reply->size() == 24u) << "the server sent an unreadable datagram";
            if (header->kind == PacketKind::pong && header->sequence == sequence) {
                return;
            }
            EXPECT_EQ(header->sequence, 0u);
            ++received[header->kind];
        }
        FAIL() << "pong " << sequence << " never came";
    }

    std::map<PacketKind, int> received; // besides the pongs
};

// A running server on a free port, its time in the test's hand, and a paired-to-be phone.
class LinkServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        interpreter = std::make_shared<RecordingInterpreter>();
        server = LinkServer::make(0, interpreter, clock.function());
        server->setOnStats([this](const LinkServer::Stats& s) { published.add(s); });
        server->setOnSafetyRelease([this](const std::string& text) { reports.add(text); });
        server->setOnPeerLeft([this] { peerLeft.fetch_add(1); });
        ASSERT_TRUE(server->start());
        phone = std::make_unique<LoopbackPhone>(server->boundPort());
        // The receive loop is running (and its statistics window has begun) once a ping is
        // answered; on a busy machine the thread may start well after start() returns.
        phone->sync(1);
    }
    void TearDown() override { server->stop(); }

    void pair() { server->updateAuthenticators({PhoneSide{}.authenticator}); }
    void sendTouch(std::uint32_t sequence, TouchFlags flags = {}) {
        std::array<std::uint8_t, 112> packet{};
        phone->send(std::span(packet).first(PhoneSide{}.touch(packet, sequence, 1, flags)));
    }
    void peerTouch(std::uint32_t sequence) {
        std::array<std::uint8_t, 112> packet{};
        server->handlePeerDatagram(std::span(packet).first(PhoneSide{}.touch(packet, sequence)),
                                   {});
    }
    // Moves time on, then waits until a whole round of the receive loop, periodic checks
    // included, has seen the new time: the second of two pongs comes after them.
    void advanceAndSettle(std::chrono::nanoseconds by) {
        clock.advance(by);
        phone->sync(901);
        phone->sync(902);
    }

    HandClock clock;
    std::shared_ptr<RecordingInterpreter> interpreter;
    std::shared_ptr<LinkServer> server;
    std::unique_ptr<LoopbackPhone> phone;
    std::atomic<int> peerLeft{0};
    Events<LinkServer::Stats> published;
    Events<std::string> reports; // of safety releases
};

} // namespace ravnix::test
