// The peer route's datagram entry of the link server as a whole: the checks in front of the
// interpreter, then the touch interpreter, pointer injector and a recording event system
// behind it. An input is a list of datagrams; each is raw bytes, a touch frame the harness
// encodes and tags with the one paired key (so the interpreter is reached), a touch frame
// with a broken tag, or a control packet. Besides not crashing: a correctly tagged frame is
// delivered, a badly tagged one is rejected, a ping is answered with its pong, and the
// pointer never leaves the display.
//
// Everything is built once per process; the interpreter keeps its state between inputs, so
// each input starts with a frame that lifts every finger and button.

#include "input/PointerInjector.hpp"
#include "input/TouchInterpreter.hpp"
#include "link/LinkServer.hpp"
#include "packet/PacketCodec.hpp"
#include "platform/Preferences.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "support/MemoryPreferences.hpp"

#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

using namespace ravnix;

namespace {

constexpr std::uint32_t pairingID = 7;
constexpr std::array<std::uint8_t, 32> key{
    0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xa9, 0xba, 0xcb, 0xdc, 0xed, 0xfe, 0x0f,
    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,   16};
constexpr int datagramsPerInput = 32;
constexpr std::uint64_t millisecond = 1'000'000;

// The one clock of server, interpreter and injector; inputs move it, so runs repeat.
std::atomic<std::uint64_t> now{1'000 * millisecond};

struct Link {
    std::shared_ptr<RecordingEventSystem> events = std::make_shared<RecordingEventSystem>();
    std::shared_ptr<LinkServer> server;
    PacketAuthenticator authenticator{key, pairingID};

    Link() {
        events->setKeepEvents(false);
        auto clock = [] { return now.load(); };
        auto injector = std::make_shared<PointerInjector>(events, PointerSettings::standard,
                                                          std::filesystem::path{}, clock);
        auto interpreter = TouchInterpreter::make({injector,
                                                   ScrollSettings::standard,
                                                   std::make_shared<MemoryPreferences>(),
                                                   nullptr,
                                                   {},
                                                   clock});
        if (!interpreter) {
            std::fprintf(stderr, "no interpreter: %s\n", interpreter.error().text().c_str());
            std::abort();
        }
        server = LinkServer::make(0, *interpreter, clock);
        server->updateAuthenticators({authenticator});
    }
};

// Reads the input front to back; past the end every read gives zeros.
struct Reader {
    const std::uint8_t* data;
    std::size_t left;

    bool empty() const { return left == 0; }
    std::uint8_t byte() {
        if (left == 0) {
            return 0;
        }
        --left;
        return *data++;
    }
    template <typename T> T raw() {
        std::array<std::uint8_t, sizeof(T)> bytes{};
        for (auto& b : bytes) {
            b = byte();
        }
        return std::bit_cast<T>(bytes);
    }
    // A coordinate: mostly inside the touch area, in steps small enough to make gestures.
    float unit() { return static_cast<float>(byte()) / 255.0f; }
};

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

void checkPointer(RecordingEventSystem& events) {
    const auto pointer = events.pointerLocation();
    check(pointer.has_value(), "the pointer can be read");
    check(std::isfinite(pointer->x) && std::isfinite(pointer->y) && pointer->x >= 0 &&
              pointer->x <= 1440 && pointer->y >= 0 && pointer->y <= 900,
          "the pointer stays on the display");
}

struct Sender {
    Link& link;
    std::uint32_t sequence = 0;
    std::uint64_t deviceTime = 0;

    // Encodes, tags (or mis-tags) and hands over one touch frame.
    void touch(const TouchHeader& header, std::span<const FingerSample> fingers, bool breakTag) {
        std::array<std::uint8_t, PacketFormat::maximumDatagramSize> out{};
        auto body = PacketCodec::encodeTouch(header, fingers, out);
        check(body.has_value(), "a frame of at most five fingers encodes");
        std::uint64_t tag = link.authenticator.tag(std::span(out).first(*body));
        if (breakTag) {
            tag ^= 1;
        }
        auto size = PacketCodec::appendTrailer(pairingID, tag, out, *body);
        check(size.has_value(), "the trailer fits");

        const auto before = link.server->stats();
        link.server->handlePeerDatagram(std::span(out).first(*size), {});
        const auto after = link.server->stats();
        if (breakTag) {
            check(after.touchPackets == before.touchPackets &&
                      after.rejectedPackets == before.rejectedPackets + 1,
                  "a frame with a wrong tag is rejected");
        } else {
            check(after.touchPackets == before.touchPackets + 1 &&
                      after.rejectedPackets == before.rejectedPackets,
                  "a tagged frame is delivered");
        }
        checkPointer(*link.events);
    }

    void lift() {
        now += 2'000 * millisecond;
        deviceTime += 2'000 * millisecond;
        const TouchHeader header{
            ++sequence, deviceTime, 0.0f, 0, TouchFlags::primaryUp | TouchFlags::secondaryUp, 1};
        touch(header, {}, false);
    }

    void fromInput(Reader& in, std::uint8_t op) {
        const bool rawFloats = (op & 3) == 2;
        sequence += static_cast<std::uint32_t>(static_cast<std::int8_t>(in.byte()));
        const std::uint64_t step = in.byte() * millisecond / 4;
        now += step;
        deviceTime = rawFloats && (op & 0x40) ? in.raw<std::uint64_t>() : deviceTime + step;
        TouchHeader header{
            sequence, deviceTime, rawFloats ? in.raw<float>() : 0.0f, 0, TouchFlags{in.byte()},
            in.byte()};
        std::array<FingerSample, PacketFormat::maximumFingers> fingers{};
        const std::size_t count = in.byte() % (fingers.size() + 1);
        for (std::size_t i = 0; i < count; ++i) {
            FingerSample& f = fingers[i];
            f.id = in.byte();
            f.phase = static_cast<FingerPhase>(in.byte() % 5);
            if (rawFloats) {
                f.x = in.raw<float>();
                f.y = in.raw<float>();
                f.radius = in.raw<float>();
            } else {
                f.x = in.unit();
                f.y = in.unit();
                f.radius = static_cast<float>(in.byte()) / 16.0f;
            }
        }
        header.fingerCount = static_cast<std::uint8_t>(count);
        touch(header, std::span(fingers).first(count), (op & 0x80) != 0);
    }

    void control(Reader& in) {
        const auto kind = static_cast<PacketKind>(in.byte() % 4 + 2); // ping … unpaired
        const ControlPacket packet{kind, in.raw<std::uint32_t>(), in.raw<std::uint64_t>(), 0};
        std::array<std::uint8_t, PacketFormat::controlPacketSize> out{};
        check(PacketCodec::encodeControl(packet, out).has_value(), "a control packet encodes");
        now += 8 * millisecond;

        int replies = 0;
        std::optional<ControlPacket> pong;
        const auto before = link.server->stats();
        link.server->handlePeerDatagram(out, [&](std::span<const std::uint8_t> reply) {
            ++replies;
            auto decoded = PacketCodec::decodeControl(reply);
            check(decoded.has_value(), "the reply is a control packet");
            pong = *decoded;
        });
        if (kind == PacketKind::ping) {
            check(replies == 1 && pong->kind == PacketKind::pong &&
                      pong->sequence == packet.sequence &&
                      pong->echoTimeNanos == packet.deviceTimeNanos,
                  "a ping is answered with its pong");
            check(link.server->stats().echoedPings == before.echoedPings + 1,
                  "an answered ping is counted");
        } else {
            check(replies == 0, "only a ping is answered");
        }
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Link link;
    static Sender sender{link};
    sender.lift();

    Reader in{data, size};
    for (int i = 0; i < datagramsPerInput && !in.empty(); ++i) {
        const std::uint8_t op = in.byte();
        switch (op & 3) {
        case 0: {
            // Raw bytes: whatever they say, the handler must stay whole.
            const std::size_t length = std::min<std::size_t>(in.byte(), in.left);
            now += 8 * millisecond;
            link.server->handlePeerDatagram(std::span(in.data, length),
                                            [](std::span<const std::uint8_t>) {});
            in.data += length;
            in.left -= length;
            checkPointer(*link.events);
            break;
        }
        case 1:
        case 2:
            sender.fromInput(in, op);
            break;
        case 3:
            sender.control(in);
            break;
        }
    }
    return 0;
}
