// Everything a stranger can send, and replays of real frames, against a running server over
// loopback. The unit suite sends each case a few dozen times; the stress build
// (RAVNIX_FLOOD_SCALE) sends the same cases half a million times and also watches the kernel's
// drops and the server's memory. Senders pace themselves in bursts with a ping round trip after
// each, so the kernel drops nothing and the counters can be compared exactly with what was sent.

#include "LinkTestSupport.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <unistd.h>

#ifndef RAVNIX_FLOOD_SCALE
#define RAVNIX_FLOOD_SCALE 1
#endif
// Test names are unique across programs: the flood has a suite name of its own.
#if RAVNIX_FLOOD_SCALE > 1
#define LINK_SUITE LinkServerFlood
#else
#define LINK_SUITE LinkServerTest
#endif

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;
using LinkServerFlood = LinkServerTest;

constexpr std::uint64_t kScale = RAVNIX_FLOOD_SCALE;
// Datagrams between two ping round trips: well inside the server socket's default receive
// buffer (208 KiB) at about 3 KiB of buffer for each 1500-byte datagram.
constexpr std::uint64_t kBurst = 32;

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
        std::string slot, local, last;
        fields >> slot >> local;
        if (local.size() >= 5 && local.substr(local.size() - 5) == wanted) {
            for (std::string field; fields >> field;) {
                last = field;
            }
            return std::stoull(last);
        }
    }
    return std::nullopt;
}

// A loopback sender of its own port that waits for a pong after every burst.
struct Sender : LoopbackPhone {
    using LoopbackPhone::LoopbackPhone;
    void send(std::span<const std::uint8_t> bytes) {
        LoopbackPhone::send(bytes);
        if (++sent % kBurst == 0) {
            sync();
        }
    }
    void sync() { LoopbackPhone::sync(++pings); }

    std::uint64_t sent = 0;
    std::uint32_t pings = 0;
};

void printRate(const char* what, std::uint64_t datagrams,
               std::chrono::steady_clock::time_point start) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %llu datagrams in %.2f s (%.0f/s)\n", what,
                static_cast<unsigned long long>(datagrams), seconds,
                static_cast<double>(datagrams) / seconds);
}

// While the phone holds the button over the peer route, another port sends every kind of
// datagram that fails before delivery. Each is counted where it belongs, none reaches the
// interpreter, the notice goes to its sender at most once per second, and none of it moves
// the route, the silence allowed or the bye's address.
TEST_F(LINK_SUITE, StrangersAreCountedNeverDeliveredAndChangeNothing) {
    pair();
    sendTouch(1); // the phone's own UDP frame: the bye goes here
    phone->sync();
    interpreter->buttonDown = true;

    enum class Counted { versionMismatch, rejected, nothing };
    std::mt19937_64 random(20240501);
    std::array<std::uint8_t, 32> otherKey = kKey;
    otherKey[0] ^= 0xff;
    const PhoneSide stranger{8, PacketAuthenticator(otherKey, 8)};
    const PhoneSide forger{7, PacketAuthenticator(otherKey, 7)};
    // Each case writes one datagram into the buffer and answers its length.
    using Make = std::function<std::size_t(std::span<std::uint8_t>, std::uint32_t)>;
    auto withHeader = [&](std::uint8_t version, std::uint8_t kind) -> Make {
        return [&random, version, kind](std::span<std::uint8_t> out, std::uint32_t) {
            const std::size_t length = 16 + random() % 1485;
            for (std::size_t i = 0; i < length; ++i) {
                out[i] = static_cast<std::uint8_t>(random());
            }
            out[0] = PacketFormat::magic & 0xff;
            out[1] = PacketFormat::magic >> 8;
            out[2] = version;
            out[3] = kind;
            return length;
        };
    };
    const auto touch = static_cast<std::uint8_t>(PacketKind::touch);
    const struct {
        const char* name;
        Make make;
        Counted counted;
    } cases[] = {
        {"junk of any length",
         [&](std::span<std::uint8_t> out, std::uint32_t) {
             const std::size_t length = random() % 1501;
             for (std::size_t i = 0; i < length; ++i) {
                 out[i] = static_cast<std::uint8_t>(random());
             }
             if (length >= 2 && out[0] == (PacketFormat::magic & 0xff)) {
                 out[1] = static_cast<std::uint8_t>(~(PacketFormat::magic >> 8));
             }
             return length;
         },
         Counted::nothing},
        {"a header cut short",
         [](std::span<std::uint8_t> out, std::uint32_t s) {
             return PhoneSide::control(out, PacketKind::touch, s, 1) - 9;
         },
         Counted::nothing},
        {"another version", withHeader(PacketFormat::version + 1, touch), Counted::versionMismatch},
        {"no kind at all", withHeader(PacketFormat::version, 6), Counted::nothing},
        {"a pong", withHeader(PacketFormat::version, 3), Counted::nothing},
        {"an unpaired notice", withHeader(PacketFormat::version, 5), Counted::nothing},
        {"an unsigned touch packet", withHeader(PacketFormat::version, touch), Counted::rejected},
        {"a pairing number nobody has",
         [&](std::span<std::uint8_t> out, std::uint32_t s) {
             return stranger.touch(out, s, 1, TouchFlags::primaryDown);
         },
         Counted::rejected},
        {"the phone's number with another key's tag",
         [&](std::span<std::uint8_t> out, std::uint32_t s) {
             return forger.touch(out, s, 1, TouchFlags::primaryDown);
         },
         Counted::rejected},
        {"a finger changed after signing",
         [&](std::span<std::uint8_t> out, std::uint32_t s) {
             const std::size_t length = PhoneSide{}.touch(out, s);
             out[PacketFormat::touchHeaderSize + 2] ^= 0x01;
             return length;
         },
         Counted::rejected},
        {"a signed body too short to decode",
         [](std::span<std::uint8_t> out, std::uint32_t s) {
             PhoneSide::control(out, PacketKind::touch, s, 0);
             const std::uint64_t tag = PhoneSide{}.authenticator.tag(out.first(18));
             return PacketCodec::appendTrailer(7, tag, out, 18).value();
         },
         Counted::nothing},
    };

    Sender junk(server->boundPort());
    const auto start = std::chrono::steady_clock::now();
    std::size_t residentAfterFirstCase = 0;
    std::uint64_t mismatches = 0;
    std::uint64_t rejected = 0;
    int rejectingCases = 0;
    std::uint32_t peerSequence = 0;
    std::vector<std::uint8_t> datagram(1500 + 112);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // A new second on the server's clock, and a peer frame to keep the silence short.
        clock.advance(1100ms);
        peerTouch(++peerSequence);
        const std::uint64_t count = 40 * kScale;
        for (std::uint64_t i = 0; i < count; ++i) {
            junk.send(std::span(datagram).first(c.make(datagram, static_cast<std::uint32_t>(i))));
            if (HasFatalFailure()) {
                return;
            }
        }
        junk.sync();
        ASSERT_FALSE(HasFatalFailure());
        mismatches += c.counted == Counted::versionMismatch ? count : 0;
        rejected += c.counted == Counted::rejected ? count : 0;
        rejectingCases += c.counted == Counted::rejected ? 1 : 0;
        const auto stats = server->stats();
        EXPECT_EQ(stats.versionMismatches, mismatches);
        EXPECT_EQ(stats.rejectedPackets, rejected);
        EXPECT_EQ(stats.touchPackets, 1u + peerSequence) << "a stranger's frame was delivered";
        EXPECT_TRUE(stats.isPeerRoute) << "a stranger's datagram moved the route to Wi-Fi";
        EXPECT_EQ(junk.received[PacketKind::unpaired], rejectingCases)
            << "the notice is due once per second, to the sender of the rejected datagram";
        if (residentAfterFirstCase == 0) {
            residentAfterFirstCase = residentBytes();
        }
    }
    const auto drops = kernelDrops(server->boundPort());
    ASSERT_TRUE(drops) << "the server's socket is not in /proc/net/udp";
    ASSERT_EQ(*drops, 0u) << "the kernel dropped datagrams: the bursts are too long here";
    EXPECT_EQ(interpreter->handled.load(), 1u + peerSequence);
    printRate("strangers", junk.sent + junk.pings, start);
    if constexpr (kScale > 1) {
        const auto growth = static_cast<long long>(residentBytes()) -
                            static_cast<long long>(residentAfterFirstCase);
        std::printf("resident growth after the first case: %lld bytes\n", growth);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        EXPECT_LT(growth, 1 << 20) << "resident memory grew during the flood";
#endif
    }

    // The peer route's silence is still the one allowed, and the bye goes to the phone.
    advanceAndSettle(2500ms);
    EXPECT_EQ(interpreter->releases.load(), 0);
    advanceAndSettle(1ms);
    EXPECT_EQ(reports.take(),
              std::vector<std::string>{"guvenlik agi: 2501 ms sessizlik · yol=airdrop"});
    server->sendBye();
    const auto bye = phone->receive();
    ASSERT_TRUE(bye);
    EXPECT_EQ(PacketCodec::peekHeader(*bye)->kind, PacketKind::bye);
    junk.sync();
    EXPECT_EQ(junk.received[PacketKind::bye], 0);
}

// The sequence rule on the UDP route, then real frames captured and sent again.
TEST_F(LINK_SUITE, SequenceRuleCountsLossAndDropsLateAndReplayedFrames) {
    pair();
    auto step = [&](std::uint32_t sequence) {
        sendTouch(sequence);
        phone->sync();
        return server->stats();
    };
    step(7);
    auto s = step(10);
    EXPECT_EQ(s.lostPackets, 2u);
    s = step(7);
    EXPECT_EQ(s.reorderedPackets, 1u);
    s = step(10); // repeated
    EXPECT_EQ(s.reorderedPackets, 2u);
    s = step(100);
    EXPECT_EQ(s.lostPackets, 2u + 89u);
    s = step(5); // 95 behind: the sender restarted
    EXPECT_EQ(s.lostPackets, 91u);
    EXPECT_EQ(s.reorderedPackets, 2u);
    s = step(4294967295u); // 6 behind 5: late
    EXPECT_EQ(s.reorderedPackets, 3u);
    clock.advance(1100ms);
    step(4294967295u); // after a quiet second: a new run
    s = step(0);       // wraps to +1
    EXPECT_EQ(s.lostPackets, 91u);
    EXPECT_EQ(s.reorderedPackets, 3u);
    clock.advance(1100ms);
    s = step(0); // even a repeat starts a new run after a quiet second
    EXPECT_EQ(s.reorderedPackets, 3u);
    std::vector<std::uint32_t> delivered;
    for (const auto& f : interpreter->takeFrames()) {
        delivered.push_back(f.header.sequence);
    }
    EXPECT_EQ(delivered, (std::vector<std::uint32_t>{7, 10, 100, 5, 4294967295u, 0, 0}));

    // Frames of a real touch, captured on the way and replayed from another port while the
    // server's time stands still: each is a repeat, counted and dropped, and nobody is told
    // that it is unpaired.
    constexpr std::uint32_t kCaptured = 20;
    std::vector<std::vector<std::uint8_t>> captured;
    std::array<std::uint8_t, 112> packet{};
    for (std::uint32_t i = 1; i <= kCaptured; ++i) {
        const auto length = PhoneSide{}.touch(packet, i);
        captured.emplace_back(packet.begin(), packet.begin() + static_cast<long>(length));
        phone->send(captured.back());
    }
    phone->sync();
    const auto before = server->stats();
    Sender replayer(server->boundPort());
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t replays = 400 * kScale;
    for (std::uint64_t i = 0; i < replays; ++i) {
        replayer.send(captured[i % kCaptured]);
        if (HasFatalFailure()) {
            return;
        }
    }
    replayer.sync();
    printRate("replays", replays + replayer.pings, start);
    s = server->stats();
    EXPECT_EQ(s.touchPackets, before.touchPackets);
    EXPECT_EQ(s.reorderedPackets, before.reorderedPackets + replays);
    EXPECT_EQ(s.rejectedPackets, 0u);
    EXPECT_EQ(s.lostPackets, before.lostPackets);
    EXPECT_TRUE(replayer.received.empty());
    EXPECT_EQ(interpreter->takeFrames().size(), static_cast<std::size_t>(kCaptured));
    // The next fresh frame is still taken.
    phone->send(std::span(packet).first(PhoneSide{}.touch(packet, kCaptured + 1)));
    phone->sync();
    EXPECT_EQ(server->stats().touchPackets, before.touchPackets + 1);
}

} // namespace
} // namespace ravnix::test
