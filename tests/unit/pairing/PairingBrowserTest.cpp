// The phone's end of pairing: its pure helpers, and a desktop of the test's own for answers the
// listener never gives (whole exchanges with the real listener: PairingAvahiTest).

#include "pairing/PairingBrowser.hpp"

#include "support/FakeDnsSd.hpp"
#include "unit/pairing/PairingTestSupport.hpp"

#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using Steps = Events<Step>;

Browser::Result result(const std::string& name, std::optional<TxtRecord> txt) {
    return {{name, "_ravnix._tcp", "local"}, std::move(txt)};
}

TEST(PairingBrowserLists, DiscoveredMacsReadTheTxtRecordAndSortByName) {
    const auto macs = PairingBrowser::discoveredMacs({
        result("b", TxtRecord{{"mac", "id-b"}, {"udp", "+9000"}}),
        result("A", std::nullopt),
        result("a", TxtRecord{{"udp", "abc"}}),
    });
    ASSERT_EQ(macs.size(), 3u);
    EXPECT_EQ(macs[0], (PairingBrowser::DiscoveredMac{"A", "A", 9931, result("A", {}).endpoint}));
    EXPECT_EQ(macs[1], (PairingBrowser::DiscoveredMac{"a", "a", 9931, result("a", {}).endpoint}));
    EXPECT_EQ(macs[2],
              (PairingBrowser::DiscoveredMac{"id-b", "b", 9000, result("b", {}).endpoint}));

    EXPECT_EQ(PairingBrowser::touchPortFrom("9940"), 9940);
    EXPECT_EQ(PairingBrowser::touchPortFrom("65535"), 65535);
    for (const std::string bad : {"abc", "70000", "", "-1", "99x", "+", "++1"}) {
        EXPECT_EQ(PairingBrowser::touchPortFrom(bad), 9931) << '"' << bad << '"';
    }
}

TEST(PairingBrowserLists, HostsPutTheConnectedHostFirstWithoutScopeOrRepeats) {
    using V = std::vector<std::string>;
    EXPECT_EQ(PairingBrowser::hostsList(HostEndpoint{"192.168.1.5%en0", 51000},
                                        {"192.168.1.5", "10.0.0.2"}),
              (V{"192.168.1.5", "10.0.0.2"}));
    EXPECT_EQ(PairingBrowser::hostsList(HostEndpoint{"fe80::1%eth0", 1}, {"10.0.0.2", "10.0.0.2"}),
              (V{"fe80::1", "10.0.0.2"}));
    EXPECT_EQ(PairingBrowser::hostsList(std::nullopt, {"10.0.0.2", "192.168.1.5"}),
              (V{"10.0.0.2", "192.168.1.5"}));
}

std::shared_ptr<PairingBrowser> makeBrowser(const std::shared_ptr<DnsSd>& dnsSd,
                                            const std::shared_ptr<Steps>& steps) {
    auto browser = PairingBrowser::make(dnsSd).value();
    browser->setOnStep([steps](const Step& step) { steps->add(step); });
    return browser;
}

const PairingBrowser::Identity kPhone{"phone-1", "Deniz'in telefonu", "iPhone15,2"};

// A desktop of the test's own on 127.0.0.1: it records what the phone sends and writes what
// the test gives it, well formed or not.
struct FakeDesktop : RecordingListener {
    explicit FakeDesktop(DispatchQueue& queue)
        : RecordingListener(queue, {Transport::tcp, "127.0.0.1", 0, std::nullopt, nullptr}) {}

    // Waits for the phone's `count`-th message, answers with `reply`, returns what was heard.
    std::vector<PairingMessage> answer(std::size_t count, std::vector<std::uint8_t> reply) {
        EXPECT_TRUE(received->waitUntil(
            [count](const auto& all) { return Phone::decodeAll(all).size() >= count; }, 5s));
        if (!accepted->snapshot().empty()) {
            accepted->snapshot()[0]->send(std::move(reply));
        }
        return Phone::decodeAll(received->snapshot());
    }
    bool waitClosed() { return received->waitUntil(hasEnded, 5s); }
    PairingBrowser::DiscoveredMac mac() const { return {"fake", "fake", 9931, endpoint()}; }
};

class PairingBrowserAgainstAFakeDesktop : public ::testing::Test {
  protected:
    std::vector<std::uint8_t> offer(std::size_t keyLength = 32) const {
        const auto& key = responder.publicKey();
        return PairingFraming::encode(PairingOffer{"offered-id",
                                                   "Offered name",
                                                   {key.begin(), key.begin() + keyLength},
                                                   {"192.0.2.7"}})
            .value();
    }
    static std::vector<std::uint8_t> result(PairingDecision decision) {
        return PairingFraming::encode(makeResult(decision)).value();
    }

    std::unique_ptr<DispatchQueue> queue = makeQueue("com.belvor.ravnix.pairingtest");
    PairingHandshake responder = PairingHandshake::make(Pairing::Role::responder).value();
    std::shared_ptr<Steps> steps = std::make_shared<Steps>();
};

TEST_F(PairingBrowserAgainstAFakeDesktop, ResultsAndBadAnswersEndTheAttempt) {
    const auto keyFor = [&](const PairingMessage& hello) {
        const auto& phoneKey = std::get<PairingMessageCase::hello>(hello).publicKey;
        const auto outcome = responder.complete(phoneKey).value(); // the key lives in here
        const auto material = outcome.key.material();
        return std::vector<std::uint8_t>(material.begin(), material.end());
    };
    const struct {
        std::string name;
        std::vector<std::uint8_t> onHello, onDecision; // no decision asked for when empty
        std::function<void(const Step&, const PairingMessage& hello)> check;
    } cases[] = {
        {"accepted, with what the offer said", offer(), result({true, 9}),
         [&](const Step& s, const PairingMessage& hello) {
             EXPECT_EQ(
                 s,
                 (Step{Step::Accepted{
                     keyFor(hello), 9, "offered-id", "Offered name", {"127.0.0.1", "192.0.2.7"}}}));
         }},
        {"accepted without a pairing number", offer(), result({true, std::nullopt}),
         [](const Step& s, const auto&) { EXPECT_EQ(s, Step{Step::Rejected{}}); }},
        {"short offer key",
         offer(16),
         {},
         [](const Step& s, const auto&) {
             EXPECT_EQ(s, (Step{Step::Failed{"el sıkışma: badPublicKey"}}));
         }},
        {"unreadable frame",
         {0, 0, 0, 3, 'x', 'y', 'z'},
         {},
         [](const Step& s, const auto&) {
             const auto* failed = std::get_if<Step::Failed>(&s.value);
             ASSERT_TRUE(failed);
             EXPECT_TRUE(failed->text.starts_with("çerçeveleme: ")) << failed->text;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDesktop desktop(*queue);
        const auto caseSteps = std::make_shared<Steps>();
        const auto browser = makeBrowser(FakeDnsSd::create(), caseSteps);
        browser->pair(desktop.mac(), kPhone);
        const auto heard = desktop.answer(1, c.onHello);
        ASSERT_FALSE(heard.empty());
        if (!c.onDecision.empty()) {
            ASSERT_TRUE(waitForStep<Step::Code>(*caseSteps));
            browser->confirm(true);
            desktop.answer(2, c.onDecision);
        }
        ASSERT_TRUE(caseSteps->waitUntil(
            [](const auto& all) {
                return !all.empty() && !std::holds_alternative<Step::Code>(all.back().value);
            },
            5s));
        c.check(caseSteps->snapshot().back(), heard[0]);
        EXPECT_TRUE(desktop.waitClosed()) << "the phone kept the connection";
    }
}

TEST_F(PairingBrowserAgainstAFakeDesktop, RefusingSaysSoAndCloses) {
    FakeDesktop desktop(*queue);
    const auto browser = makeBrowser(FakeDnsSd::create(), steps);
    browser->pair(desktop.mac(), kPhone);
    desktop.answer(1, offer());
    ASSERT_TRUE(waitForStep<Step::Code>(*steps));
    browser->confirm(false);
    ASSERT_TRUE(desktop.waitClosed());
    const auto heard = Phone::decodeAll(desktop.received->snapshot());
    ASSERT_EQ(heard.size(), 2u);
    EXPECT_EQ(heard[1], makePhoneDecision({false, std::nullopt}));
}

} // namespace
} // namespace ravnix::test
