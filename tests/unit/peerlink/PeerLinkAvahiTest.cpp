// The peer route found by name through the real DNS-SD daemon on the loopback interface.

#include "peerlink/PeerLink.hpp"
#include "platform/network/AvahiDnsSd.hpp"
#include "support/TestService.hpp"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

namespace ravnix {
namespace {

TEST(PeerLinkAvahi, ClientFindsTheListenerByName) {
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", avahi["DBUS_SYSTEM_BUS_ADDRESS"].c_str(), 1);
    auto dnsSd = AvahiDnsSd::create();
    ASSERT_TRUE(dnsSd) << dnsSd.error().text();

    auto listener = PeerLinkListener::make(*dnsSd).value();
    std::atomic<int> received{0};
    listener->setOnPacket([&](std::span<const std::uint8_t>, const PeerLinkListener::Reply& reply) {
        ++received;
        const std::uint8_t answer[] = {0xAA};
        reply(answer);
    });
    const std::string name = "ravnix-peer-test-" + std::to_string(::getpid());
    ASSERT_TRUE(listener->start(name, "MAC-ID"));

    auto client = PeerLinkClient::make(*dnsSd).value();
    std::atomic<int> answers{0};
    std::atomic<bool> ready{false};
    client->setOnPacket([&](std::span<const std::uint8_t>) { ++answers; });
    client->setOnState([&](const PeerLinkClient::State& s) {
        if (s.kind == PeerLinkClient::State::Kind::ready) {
            ready = true;
        }
    });
    client->connectToServiceNamed(name);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (answers.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        if (ready.load()) {
            client->send({1, 2, 3});
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GE(received.load(), 1);
    EXPECT_GE(answers.load(), 1);
}

} // namespace
} // namespace ravnix
