// Counts every heap allocation in this test program, to show that the receive path
// allocates nothing per datagram once it is running.

#include "LinkTestSupport.hpp"

#include <cstdlib>
#include <new>

namespace {
std::atomic<std::uint64_t> allocations{0};
}

// These replace the global ones, so malloc and free do pair up; GCC cannot see that.
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

namespace ravnix::test {
namespace {

TEST(LinkServerAllocations, NonePerFrameOrPingAfterWarmUp) {
    auto interpreter = std::make_shared<RecordingInterpreter>(false);
    auto server = LinkServer::make(0, interpreter);
    server->updateAuthenticators({PhoneSide{}.authenticator});
    ASSERT_TRUE(server->start());
    LoopbackPhone phone(server->boundPort());
    const PhoneSide side;

    std::array<std::uint8_t, 112> touch{};
    std::array<std::uint8_t, 24> ping{};
    std::array<std::uint8_t, 112> reply{};
    auto roundTrip = [&](std::uint32_t sequence) {
        phone.socket->send(std::span(touch).first(side.touch(touch, sequence, 3)), phone.server);
        PhoneSide::control(ping, PacketKind::ping, sequence, sequence);
        phone.socket->send(ping, phone.server);
        auto got = phone.socket->receive(reply); // the pong: both datagrams are done
        return got && got->has_value();
    };
    for (std::uint32_t i = 1; i <= 100; ++i) {
        ASSERT_TRUE(roundTrip(i));
    }
    const std::uint64_t before = allocations.load();
    int answered = 0;
    for (std::uint32_t i = 101; i <= 10'100; ++i) {
        answered += roundTrip(i);
    }
    const std::uint64_t during = allocations.load() - before;
    server->stop();

    EXPECT_EQ(answered, 10'000);
    EXPECT_EQ(interpreter->handled.load(), 10'100u);
    EXPECT_EQ(server->stats().echoedPings, 10'100u);
    EXPECT_EQ(during, 0u) << "allocations while 10,000 frames and 10,000 pings went through";
}

} // namespace
} // namespace ravnix::test

#include "input/TouchInterpreter.hpp"
#include "platform/events/RecordingEventSystem.hpp"

namespace ravnix::test {
namespace {

TEST(InterpreterAllocations, NonePerOneOrTwoFingerFrameAfterWarmUp) {
    auto events = std::make_shared<RecordingEventSystem>();
    events->setKeepEvents(false);
    std::uint64_t now = 1'000'000'000ULL;
    auto clock = [&now] { return now; };
    auto injector = std::make_shared<PointerInjector>(events, PointerSettings::standard,
                                                      std::filesystem::path{}, clock);
    auto interpreter =
        TouchInterpreter::make({injector, ScrollSettings::standard, nullptr, nullptr, {}, clock})
            .value();

    std::array<FingerSample, 2> fingers{FingerSample{1, FingerPhase::moved, 0.3f, 0.5f, 5},
                                        FingerSample{2, FingerPhase::moved, 0.6f, 0.5f, 5}};
    TouchHeader header{0, 0, 0, 1, {}, 1};
    auto run = [&](std::size_t count, int frames) {
        for (int i = 0; i < frames; ++i) {
            now += 8'333'333;
            header.sequence += 1;
            header.deviceTimeNanos += 8'333'333;
            header.fingerCount = static_cast<std::uint8_t>(count);
            const float wobble = (i % 2 == 0) ? 0.001f : -0.001f; // stays on the display
            fingers[0].y += wobble;
            fingers[1].y += wobble;
            interpreter->handle(header, std::span<const FingerSample>(fingers).first(count));
        }
    };
    // A change of finger count writes a summary line (a string); steady frames allocate nothing.
    std::uint64_t during = 0;
    for (const std::size_t count : {std::size_t{1}, std::size_t{2}}) {
        run(count, 100);
        const std::uint64_t before = allocations.load();
        run(count, 10'000);
        during += allocations.load() - before;
    }
    EXPECT_GT(events->postedCount(), 19'000u);
    EXPECT_EQ(during, 0u) << "allocations in 20,000 interpreted one- and two-finger frames";
}

} // namespace
} // namespace ravnix::test
