// Counts every heap allocation in this test program, to show that the receive path
// allocates nothing per datagram once it is running.

#include "LinkTestSupport.hpp"

#include <cstdlib>
#include <new>

namespace {
std::atomic<std::uint64_t> allocations{0};
}

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
