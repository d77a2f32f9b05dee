// The link server at full speed against junk, strangers and replayed frames, over loopback,
// with the real interpreter, injector and a recording event system behind it. Senders pace
// themselves in bursts with a ping round trip after each, so the kernel drops nothing and the
// server's counters can be compared exactly with what was sent.

#include "LinkTestSupport.hpp"
#include "input/TouchInterpreter.hpp"
#include "platform/Preferences.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "support/MemoryPreferences.hpp"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

// Sanitized builds run the same floods with a quarter of the datagrams, so that a loaded machine
// stays well inside the test timeout.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif
constexpr std::uint64_t kScale = kSanitized ? 4 : 1;

constexpr std::uint64_t kJunkDatagrams = 500'000 / kScale;
constexpr std::uint64_t kStrangerPackets = 500'000 / kScale;
constexpr std::uint64_t kReplays = 100'000 / kScale;
// Datagrams between two ping round trips: well below what the server socket's default receive
// buffer (208 KiB) holds, at up to about 3 KiB of buffer for each 1500-byte datagram and about
// 1 KiB for each touch-sized one.
constexpr std::uint64_t kLargeBurst = 32;
constexpr std::uint64_t kSmallBurst = 128;

std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// Datagrams the kernel dropped at the UDP socket bound to `port` (the last column of
// /proc/net/udp); none when the socket is not listed.
std::optional<std::uint64_t> kernelDrops(std::uint16_t port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line); // column names
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", static_cast<unsigned>(port));
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() < 5 || local.substr(local.size() - 5) != wanted) {
            continue;
        }
        std::string last;
        for (std::string field; fields >> field;) {
            last = field;
        }
        return std::stoull(last);
    }
    return std::nullopt;
}

// A loopback sender that also listens for what the server sends back to it.
struct Sender {
    Sender(std::uint16_t serverPort, std::uint64_t burst) : phone(serverPort), burst(burst) {}

    void send(std::span<const std::uint8_t> bytes) {
        ASSERT_TRUE(phone.socket->send(bytes, phone.server));
        ++sent;
        if (sent % burst == 0) {
            sync();
        }
    }
    // Every datagram sent before the ping has been handled once its pong is back; unpaired
    // notices that arrive on the way are counted.
    void sync() {
        const std::uint32_t sequence = ++pings;
        std::array<std::uint8_t, 24> ping{};
        PhoneSide::control(ping, PacketKind::ping, sequence, 1);
        ASSERT_TRUE(phone.socket->send(ping, phone.server));
        for (int i = 0; i < 16; ++i) {
            std::array<std::uint8_t, 112> buffer{};
            auto got = phone.socket->receive(buffer);
            ASSERT_TRUE(got && got->has_value()) << "no pong for ping " << sequence;
            const auto header = PacketCodec::peekHeader(std::span(buffer).first((*got)->count));
            ASSERT_TRUE(header) << "the server sent an unreadable datagram";
            if (header->kind == PacketKind::unpaired) {
                ++notices;
            } else if (header->kind == PacketKind::pong && header->sequence == sequence) {
                return;
            }
        }
        FAIL() << "pong " << sequence << " never came";
    }

    LoopbackPhone phone;
    const std::uint64_t burst;
    std::uint64_t sent = 0;
    std::uint32_t pings = 0;
    std::uint64_t notices = 0;
};

class LinkServerFloodTest : public ::testing::Test {
  protected:
    void startServer(LinkServer::Clock clock) {
        events->setKeepEvents(false); // only the count grows
        auto injector = std::make_shared<PointerInjector>(events, PointerSettings::standard,
                                                          std::filesystem::path{});
        auto made = TouchInterpreter::make({injector,
                                            ScrollSettings::standard,
                                            std::make_shared<MemoryPreferences>(),
                                            nullptr,
                                            std::filesystem::path{},
                                            {}});
        ASSERT_TRUE(made) << made.error().text();
        interpreter = *made;
        server = LinkServer::make(0, interpreter, std::move(clock));
        server->updateAuthenticators({phone.authenticator});
        ASSERT_TRUE(server->start());
        port = server->boundPort();
        ASSERT_NE(port, 0);
    }
    void TearDown() override {
        if (server) {
            server->stop();
        }
    }

    // A one-finger frame whose finger sits at `x`, so that consecutive accepted frames move
    // the pointer; with `primaryDown` it also presses the button.
    static std::size_t frame(const PhoneSide& side, std::span<std::uint8_t> out,
                             std::uint32_t sequence, float x, FingerPhase phase, TouchFlags flags) {
        const std::array<FingerSample, 1> finger{{{1, phase, x, 0.5f, 6.0f}}};
        const TouchHeader header{sequence, 8'333'333ULL * sequence, 0.0f, 1, flags, 1};
        const std::size_t body = PacketCodec::encodeTouch(header, finger, out).value();
        return PacketCodec::appendTrailer(side.pairingID, side.authenticator.tag(out.first(body)),
                                          out, body)
            .value();
    }

    void expectNoKernelDrops() {
        const auto drops = kernelDrops(port);
        ASSERT_TRUE(drops) << "the server's socket is not in /proc/net/udp";
        ASSERT_EQ(*drops, 0u) << "the kernel dropped datagrams: the bursts are too long for "
                                 "exact counting on this machine";
    }

    std::shared_ptr<RecordingEventSystem> events = std::make_shared<RecordingEventSystem>();
    std::shared_ptr<TouchInterpreter> interpreter;
    std::shared_ptr<LinkServer> server;
    std::uint16_t port = 0;
    const PhoneSide phone;
};

TEST_F(LinkServerFloodTest, JunkAndStrangersAreCountedNeverMoveThePointerAndHearOncePerSecond) {
    startServer({}); // the real clock: the notices are measured against real seconds
    Sender junk(port, kLargeBurst);
    Sender strangers(port, kSmallBurst);
    const auto start = std::chrono::steady_clock::now();
    const auto pointer = events->pointerLocation();
    ASSERT_TRUE(pointer);

    // Random datagrams of 0 … 1500 bytes. A quarter start with the right magic, so that they
    // reach the version, kind and authentication checks; what each must count is known from
    // how it was made.
    std::mt19937_64 random(20240501);
    std::uniform_int_distribution<std::size_t> size(0, 1500);
    std::vector<std::uint8_t> datagram(1500 + 8);
    std::uint64_t expectedMismatches = 0;
    std::uint64_t expectedRejected = 0;
    std::size_t residentAfterWarmUp = 0;
    for (std::uint64_t i = 0; i < kJunkDatagrams; ++i) {
        const std::size_t length = size(random);
        for (std::size_t b = 0; b < length; b += 8) {
            const std::uint64_t word = random();
            std::memcpy(datagram.data() + b, &word, 8); // the vector has room past 1500
        }
        const bool isHeaderLong = length >= PacketFormat::headerSize;
        if (length >= 2 && random() % 4 == 0) {
            datagram[0] = PacketFormat::magic & 0xff;
            datagram[1] = PacketFormat::magic >> 8;
            if (length >= 4) {
                switch (random() % 4) {
                case 0: // another version of the format
                    datagram[2] =
                        static_cast<std::uint8_t>(PacketFormat::version + 1 + random() % 200);
                    expectedMismatches += isHeaderLong;
                    break;
                case 1: // a touch packet nobody signed
                    datagram[2] = PacketFormat::version;
                    datagram[3] = static_cast<std::uint8_t>(PacketKind::touch);
                    expectedRejected += isHeaderLong;
                    break;
                case 2: // a kind the desktop only sends
                    datagram[2] = PacketFormat::version;
                    datagram[3] = static_cast<std::uint8_t>(
                        random() % 2 == 0 ? PacketKind::pong : PacketKind::unpaired);
                    break;
                default: // no kind at all
                    datagram[2] = PacketFormat::version;
                    datagram[3] = static_cast<std::uint8_t>(6 + random() % 250);
                    break;
                }
            }
        } else if (length >= 2 && datagram[0] == (PacketFormat::magic & 0xff) &&
                   datagram[1] == (PacketFormat::magic >> 8)) {
            datagram[1] ^= 0x80; // plain junk stays junk
        }
        junk.send(std::span(datagram).first(length));
        if (HasFatalFailure()) {
            return;
        }
        if (i + 1 == kJunkDatagrams / 10) {
            residentAfterWarmUp = residentBytes();
        }
    }
    junk.sync();
    ASSERT_FALSE(HasFatalFailure());
    auto stats = server->stats();
    EXPECT_EQ(stats.versionMismatches, expectedMismatches);
    EXPECT_EQ(stats.rejectedPackets, expectedRejected);
    EXPECT_EQ(stats.touchPackets, 0u);
    // A ping is counted just after its pong has gone out.
    EXPECT_TRUE(waitUntil([&] { return server->stats().echoedPings == junk.pings; }));
    EXPECT_GT(expectedRejected, 0u);
    EXPECT_GT(expectedMismatches, 0u);

    // Well-formed touch packets that fail authentication three ways: a pairing number nobody
    // has (signed with its own key), the right number with another key's tag, and a body
    // changed after signing. Fingers move and buttons press, so an accepted one would show.
    PhoneSide stranger;
    stranger.pairingID = 8;
    std::array<std::uint8_t, 32> otherKey = kKey;
    otherKey[0] ^= 0xff;
    stranger.authenticator = PacketAuthenticator(otherKey, 8);
    PhoneSide forger;
    forger.authenticator = PacketAuthenticator(otherKey, 7);
    std::array<std::uint8_t, 112> packet{};
    for (std::uint64_t i = 0; i < kStrangerPackets; ++i) {
        const auto sequence = static_cast<std::uint32_t>(i + 1);
        const float x = 0.1f + 0.0001f * static_cast<float>(i % 5000);
        const TouchFlags flags = i % 7 == 0 ? TouchFlags::primaryDown : TouchFlags{};
        std::size_t length = 0;
        switch (i % 3) {
        case 0:
            length = frame(stranger, packet, sequence, x, FingerPhase::moved, flags);
            break;
        case 1:
            length = frame(forger, packet, sequence, x, FingerPhase::moved, flags);
            break;
        default:
            length = frame(phone, packet, sequence, x, FingerPhase::moved, flags);
            packet[PacketFormat::touchHeaderSize + 2] ^= 0x01; // a finger's x after signing
            break;
        }
        strangers.send(std::span(packet).first(length));
        if (HasFatalFailure()) {
            return;
        }
    }
    strangers.sync();
    junk.sync(); // collects junk's last notices
    ASSERT_FALSE(HasFatalFailure());
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::size_t residentAtEnd = residentBytes();
    expectNoKernelDrops();

    EXPECT_TRUE(
        waitUntil([&] { return server->stats().echoedPings == junk.pings + strangers.pings; }));
    stats = server->stats();
    EXPECT_EQ(stats.rejectedPackets, expectedRejected + kStrangerPackets);
    EXPECT_EQ(stats.versionMismatches, expectedMismatches);
    EXPECT_EQ(stats.touchPackets, 0u);
    EXPECT_EQ(stats.reorderedPackets, 0u);
    EXPECT_EQ(stats.lostPackets, 0u);
    EXPECT_EQ(events->postedCount(), 0u) << "an unauthenticated datagram posted an event";
    EXPECT_EQ(events->pointerLocation(), pointer);
    EXPECT_FALSE(interpreter->isButtonDown());

    // One notice per second for all senders together, and the flood does get told.
    const std::uint64_t notices = junk.notices + strangers.notices;
    EXPECT_GE(notices, 1u);
    EXPECT_LE(static_cast<double>(notices), elapsed + 1.0)
        << notices << " notices in " << elapsed << " s";
    if (elapsed >= 4.0) {
        EXPECT_GE(static_cast<double>(notices), elapsed / 2.0)
            << "the notices stopped during the flood: " << notices << " in " << elapsed << " s";
    }

    const double datagramsPerSecond =
        static_cast<double>(junk.sent + strangers.sent + junk.pings + strangers.pings) / elapsed;
    const auto growth =
        static_cast<long long>(residentAtEnd) - static_cast<long long>(residentAfterWarmUp);
    std::printf("flood: %.0f datagrams/s, %.2f s, %llu notices, resident growth %lld bytes\n",
                datagramsPerSecond, elapsed, static_cast<unsigned long long>(notices), growth);
    if (kSanitized) {
        // The sanitizers' quarantine and shadow memory grow by design: no leak check here.
        std::printf("resident-memory check skipped: sanitized build\n");
    } else {
        EXPECT_LT(growth, 1 << 20) << "resident memory grew during the flood";
    }
}

TEST_F(LinkServerFloodTest, ReplayedFramesAreDroppedAsRepeatsAndNeverMoveThePointer) {
    // The server's time stands still: a repeat after a quiet second is by design the start of
    // a new run, and a stalled test machine must not turn replays into one.
    std::atomic<std::uint64_t> now{5'000'000'000ULL};
    startServer([&now] { return now.load(); });
    Sender sender(port, kSmallBurst);

    // Real frames: a touch that moves right, captured on the way.
    constexpr int kCaptured = 20;
    std::vector<std::vector<std::uint8_t>> captured;
    std::array<std::uint8_t, 112> packet{};
    const auto pointerBefore = events->pointerLocation();
    for (int i = 0; i < kCaptured; ++i) {
        const auto length =
            frame(phone, packet, static_cast<std::uint32_t>(i + 1), 0.2f + 0.01f * i,
                  i == 0 ? FingerPhase::began : FingerPhase::moved, {});
        captured.emplace_back(packet.begin(), packet.begin() + static_cast<long>(length));
        sender.send(captured.back());
    }
    sender.sync();
    ASSERT_FALSE(HasFatalFailure());
    auto stats = server->stats();
    ASSERT_EQ(stats.touchPackets, static_cast<std::uint64_t>(kCaptured));
    const auto pointerAfterFrames = events->pointerLocation();
    const std::size_t postedAfterFrames = events->postedCount();
    ASSERT_GT(postedAfterFrames, 0u) << "the real frames posted nothing: the test sees nothing";
    ASSERT_NE(pointerAfterFrames, pointerBefore) << "the real frames did not move the pointer";

    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < kReplays; ++i) {
        sender.send(captured[i % kCaptured]);
        if (HasFatalFailure()) {
            return;
        }
    }
    sender.sync();
    ASSERT_FALSE(HasFatalFailure());
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    expectNoKernelDrops();

    stats = server->stats();
    EXPECT_EQ(stats.touchPackets, static_cast<std::uint64_t>(kCaptured));
    EXPECT_EQ(stats.reorderedPackets, kReplays);
    EXPECT_EQ(stats.rejectedPackets, 0u);
    EXPECT_EQ(stats.lostPackets, 0u);
    EXPECT_EQ(events->postedCount(), postedAfterFrames) << "a replayed frame posted an event";
    EXPECT_EQ(events->pointerLocation(), pointerAfterFrames);
    EXPECT_EQ(sender.notices, 0u) << "a paired phone was told it is unpaired";
    std::printf("replays: %.0f datagrams/s over %.2f s\n",
                static_cast<double>(kReplays + sender.pings) / elapsed, elapsed);

    // The next fresh frame is still taken.
    const auto length = frame(phone, packet, kCaptured + 1, 0.5f, FingerPhase::moved, {});
    sender.send(std::span(packet).first(length));
    sender.sync();
    EXPECT_EQ(server->stats().touchPackets, static_cast<std::uint64_t>(kCaptured + 1));
}

} // namespace
} // namespace ravnix::test
