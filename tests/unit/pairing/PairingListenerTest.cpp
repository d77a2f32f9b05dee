// The desktop's end of pairing, played against a phone written here: raw frames on a loopback
// connection, with a hand-driven clock standing in for the deadlines.

#include "PairingTestSupport.hpp"
#include "platform/network/Browser.hpp"
#include "support/FakeDnsSd.hpp"

#include <filesystem>
#include <random>

namespace ravnix::test {
namespace {

class PairingListenerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options.macIdentifier = "MAC-ID-1";
        options.macName = "Mutfak";
        options.touchPort = 9940;
        options.addresses = {"10.0.0.2", "fd00::2"};
        options.dnsSd = dnsSd;
        options.scheduler = clock.scheduler();
        listener = PairingListener::make(options).value();
        listener->setOnRequest([requests = requests](const auto& r) { requests->add(r); });
        listener->setOnCancelled([ends = ends] { ends->add("cancelled"); });
        listener->setOnError([ends = ends](const std::string& e) { ends->add("error: " + e); });
        const auto started = listener->start();
        ASSERT_TRUE(started) << started.error().text();
    }

    // Hello answered with an offer and a request; returns the request.
    std::optional<PairingListener::Request> helloAnswered(Phone& phone) {
        const auto before = requests->snapshot().size();
        phone.send({phone.hello()});
        EXPECT_TRUE(phone.waitForMessages(1));
        EXPECT_TRUE(requests->waitForCount(before + 1, 5s));
        const auto all = requests->snapshot();
        return all.size() > before ? std::optional(all[before]) : std::nullopt;
    }

    std::shared_ptr<FakeDnsSd> dnsSd = FakeDnsSd::create();
    std::unique_ptr<DispatchQueue> queue = makeQueue("com.belvor.ravnix.pairingtest");
    HandScheduler clock;
    PairingListener::Options options;
    std::shared_ptr<Events<PairingListener::Request>> requests =
        std::make_shared<Events<PairingListener::Request>>();
    std::shared_ptr<Events<std::string>> ends = std::make_shared<Events<std::string>>();
    std::shared_ptr<PairingListener> listener;
};

TEST_F(PairingListenerTest, AdvertisesAndAnswersAHelloWithAnOfferBothEndsAgreeOn) {
    const auto port = listener->port();
    ASSERT_NE(port, 0);
    EXPECT_TRUE(listener->start());
    EXPECT_EQ(listener->port(), port);

    auto results = std::make_shared<Events<std::vector<Browser::Result>>>();
    auto browser = Browser::create("_ravnix._tcp", "", true, dnsSd);
    browser->setResultsHandler([results](const auto& r) { results->add(r); });
    browser->start(*queue);
    ASSERT_TRUE(results->waitUntil([](const auto& all) {
        return !all.empty() && all.back().size() == 1 && all.back()[0].txt;
    }));
    const auto found = results->snapshot().back()[0];
    EXPECT_EQ(found.endpoint.name, "Mutfak");
    EXPECT_EQ(found.txt, (TxtRecord{{"mac", "MAC-ID-1"}, {"udp", "9940"}}));

    Phone phone(*queue, port);
    const auto request = helloAnswered(phone);
    ASSERT_TRUE(request);
    const auto messages = phone.messages();
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_EQ(messages[0].index(), PairingMessageCase::offer);
    const auto& offer = std::get<PairingMessageCase::offer>(messages[0]);
    EXPECT_EQ(offer.macIdentifier, "MAC-ID-1");
    EXPECT_EQ(offer.macName, "Mutfak");
    EXPECT_EQ(offer.addresses, options.addresses);
    ASSERT_EQ(offer.publicKey.size(), 32u);

    EXPECT_EQ(request->hello, phone.hello());
    EXPECT_FALSE(request->phoneAccepted);
    EXPECT_EQ(request->code, request->outcome.code);
    const auto phoneSide = phone.handshake.complete(offer.publicKey);
    ASSERT_TRUE(phoneSide);
    EXPECT_EQ(phoneSide->code, request->code);
    EXPECT_TRUE(phoneSide->key == request->outcome.key);

    // stop() withdraws the service and ends the exchange quietly.
    listener->stop();
    EXPECT_TRUE(phone.waitClosed());
    EXPECT_TRUE(results->waitUntil([](const auto& all) { return all.back().empty(); }, 5s));
    EXPECT_TRUE(ends->snapshot().empty());
    browser->cancel();
}

TEST_F(PairingListenerTest, SilentConnectionIsResetAtItsOwnHelloDeadline) {
    {
        // An earlier exchange leaves its deadline behind, due at 30 s.
        Phone gone(*queue, listener->port());
        helloAnswered(gone);
        gone.connection->cancel();
        ASSERT_TRUE(ends->waitForCount(1, 5s));
    }
    // Half a hello, then a byte now and then: nothing moves the deadline, and the reset
    // reports no error.
    clock.advanceTo(10s);
    Phone silent(*queue, listener->port());
    const auto hello = frame(silent.hello());
    silent.connection->send({hello.begin(), hello.begin() + 20});
    ASSERT_TRUE(clock.waitForDelay(30s, 2));
    std::size_t sent = 20;
    for (const milliseconds at : {20'000ms, 39'999ms}) {
        clock.advanceTo(at);
        silent.connection->send({hello[sent++]});
    }
    EXPECT_FALSE(ends->waitForCount(2, 200ms));
    EXPECT_FALSE(silent.waitClosed(0ms));
    clock.advanceTo(40s);
    EXPECT_TRUE(ends->waitForCount(2, 5s));
    EXPECT_TRUE(silent.waitClosed());

    // A phone that said hello keeps its exchange past the deadline.
    Phone next(*queue, listener->port());
    helloAnswered(next);
    ASSERT_TRUE(clock.waitForDelay(30s, 3));
    clock.advanceTo(120s);
    listener->respond(true, 7);
    ASSERT_TRUE(next.waitForMessages(2));
    EXPECT_EQ(resultsIn(next.messages()), (std::vector{PairingDecision{true, 7}}));
    EXPECT_EQ(ends->snapshot(), (std::vector<std::string>(2, "cancelled")));
}

TEST_F(PairingListenerTest, MalformedInputIsAnErrorThenACancellationAndTheConnectionCloses) {
    const PairingHello badHello{"phone-1", "Deniz'in telefonu", "iPhone15,2",
                                std::vector<std::uint8_t>(16, 7)};
    std::mt19937 random(7);
    std::vector<std::uint8_t> garbage(16384);
    for (auto& b : garbage) {
        b = static_cast<std::uint8_t>(random());
    }
    garbage[0] = garbage[1] = garbage[3] = 0; // a plausible length: the body is read
    garbage[2] = 0x10;
    // One of each kind of failure; which bytes make which, the framing tests tell.
    const struct {
        std::vector<std::uint8_t> bytes;
        std::string error;
    } cases[] = {
        {frame(badHello), "el sıkışma: badPublicKey"},
        {garbage, "çerçeveleme: " + describe(PairingWireError::DecodingFailed{})},
        {{0xFF, 0xFF, 0xFF, 0xFF, '{', '"'},
         "çerçeveleme: " + describe(PairingWireError::MessageTooLarge{0xFFFFFFFFLL})},
    };
    std::size_t seen = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        Phone phone(*queue, listener->port());
        phone.connection->send(c.bytes);
        ASSERT_TRUE(ends->waitForCount(seen + 2, 5s));
        const auto all = ends->snapshot();
        EXPECT_EQ(all[seen], "error: " + c.error);
        EXPECT_EQ(all[seen + 1], "cancelled");
        seen = all.size();
        EXPECT_TRUE(phone.waitClosed());
    }
    EXPECT_TRUE(requests->snapshot().empty());
    Phone last(*queue, listener->port());
    EXPECT_TRUE(helloAnswered(last)) << "a failed exchange still holds the listener";
}

TEST_F(PairingListenerTest, PhoneDecisionIsCarriedByTheRequestAndTheResultClosesLater) {
    {
        // Accepted before the hello: no request until the hello, which carries it.
        Phone phone(*queue, listener->port());
        phone.send({makePhoneDecision({true, std::nullopt})});
        const auto request = helloAnswered(phone);
        ASSERT_TRUE(request);
        EXPECT_TRUE(request->phoneAccepted);
        EXPECT_EQ(requests->snapshot().size(), 1u);

        // Refused: no number goes out, whatever the caller passed.
        listener->respond(false, 5);
        ASSERT_TRUE(phone.waitForMessages(2));
        EXPECT_EQ(resultsIn(phone.messages()), (std::vector{PairingDecision{false, std::nullopt}}));
        ASSERT_TRUE(clock.waitForDelay(200ms));
        clock.advanceTo(199ms);
        EXPECT_FALSE(phone.waitClosed(200ms));
        clock.advanceTo(200ms);
        EXPECT_TRUE(phone.waitClosed());
    }
    {
        // Hello and decision in one write: a request for each, with one code.
        Phone phone(*queue, listener->port());
        phone.send({phone.hello(), makePhoneDecision({true, std::nullopt})});
        ASSERT_TRUE(requests->waitForCount(3, 5s));
        const auto all = requests->snapshot();
        ASSERT_EQ(all.size(), 3u);
        EXPECT_FALSE(all[1].phoneAccepted);
        EXPECT_TRUE(all[2].phoneAccepted);
        EXPECT_EQ(all[1].code, all[2].code);
        EXPECT_NE(all[0].code, all[1].code); // a fresh key pair for every exchange

        listener->respond(true, 7);
        ASSERT_TRUE(phone.waitForMessages(2));
        EXPECT_EQ(resultsIn(phone.messages()), (std::vector{PairingDecision{true, 7}}));
        ASSERT_TRUE(clock.waitForDelay(200ms, 2));
        clock.advanceTo(clock.now() + 200ms);
        EXPECT_TRUE(phone.waitClosed());
    }
    EXPECT_FALSE(ends->waitForCount(1, 100ms)) << ends->snapshot()[0];
}

TEST_F(PairingListenerTest, AnAnsweredExchangeStaysAnswered) {
    {
        // A second answer sends nothing.
        Phone phone(*queue, listener->port());
        helloAnswered(phone);
        listener->respond(true, 7);
        listener->respond(false, std::nullopt);
        ASSERT_TRUE(clock.waitForDelay(200ms));
        clock.advanceTo(200ms);
        ASSERT_TRUE(phone.waitClosed());
        EXPECT_EQ(resultsIn(phone.messages()), (std::vector{PairingDecision{true, 7}}));
    }
    {
        // The phone's confirmation after the desktop's answer is no new request.
        Phone phone(*queue, listener->port());
        helloAnswered(phone);
        listener->respond(true, 9);
        ASSERT_TRUE(phone.waitForMessages(2));
        phone.sendAndLeave(makePhoneDecision({true, std::nullopt}));
        ASSERT_TRUE(ends->waitForCount(1, 5s)); // the end of its stream, read after it
    }
    EXPECT_EQ(requests->snapshot().size(), 2u);
}

TEST_F(PairingListenerTest, AnAnswerReachesOnlyThePhoneThatAsked) {
    Phone first(*queue, listener->port());
    const auto asked = helloAnswered(first);
    ASSERT_TRUE(asked);
    first.connection->cancel();
    ASSERT_TRUE(ends->waitForCount(1, 5s));
    Phone second(*queue, listener->port());
    helloAnswered(second);
    listener->respond(true, 7, asked->hello); // given while the first phone was leaving
    listener->respond(true, 8, second.hello());
    ASSERT_TRUE(clock.waitForDelay(200ms));
    clock.advanceTo(200ms);
    ASSERT_TRUE(second.waitClosed());
    EXPECT_EQ(resultsIn(second.messages()), (std::vector{PairingDecision{true, 8}}));
}

TEST_F(PairingListenerTest, PhoneRefusingOrLeavingCancelsTheExchange) {
    {
        Phone phone(*queue, listener->port());
        helloAnswered(phone);
        phone.send({makePhoneDecision({false, std::nullopt})});
        ASSERT_TRUE(ends->waitForCount(1, 5s));
        EXPECT_TRUE(phone.waitClosed());
    }
    {
        Phone phone(*queue, listener->port());
        helloAnswered(phone);
        phone.connection->cancel();
        ASSERT_TRUE(ends->waitForCount(2, 5s));
    }
    {
        // Gone after the result but before the listener's own close: still reported.
        Phone phone(*queue, listener->port());
        helloAnswered(phone);
        listener->respond(true, 7);
        ASSERT_TRUE(phone.waitForMessages(2));
        phone.connection->cancel();
        ASSERT_TRUE(ends->waitForCount(3, 5s));
    }
    EXPECT_EQ(ends->snapshot(), (std::vector<std::string>(3, "cancelled")));
    Phone last(*queue, listener->port());
    EXPECT_TRUE(helloAnswered(last)) << "a cancelled exchange still holds the listener";
}

TEST_F(PairingListenerTest, SecondPhoneIsTurnedAwayWithoutDisturbingTheExchange) {
    Phone first(*queue, listener->port());
    const auto request = helloAnswered(first);
    ASSERT_TRUE(request);

    Phone second(*queue, listener->port());
    second.send({second.hello()});
    EXPECT_TRUE(second.waitClosed());
    EXPECT_TRUE(second.messages().empty());

    listener->respond(true, 7);
    ASSERT_TRUE(first.waitForMessages(2));
    EXPECT_EQ(resultsIn(first.messages()), (std::vector{PairingDecision{true, 7}}));
    EXPECT_EQ(requests->snapshot(), std::vector<PairingListener::Request>{*request});
    EXPECT_TRUE(ends->snapshot().empty());
}

std::size_t openDescriptors() { // the listing's own descriptor is a constant offset
    const std::filesystem::directory_iterator descriptors("/proc/self/fd");
    return static_cast<std::size_t>(std::distance(begin(descriptors), end(descriptors)));
}

TEST_F(PairingListenerTest, ConnectionsThatComeAndGoLeaveNoSocketBehind) {
    Phone warmUp(*queue, listener->port()); // the listener's own sockets are all open now
    ASSERT_TRUE(helloAnswered(warmUp));
    warmUp.connection->cancel();
    ASSERT_TRUE(ends->waitForCount(1, 5s));
    const std::size_t descriptorsAtStart = openDescriptors();
    constexpr std::size_t kCycles = 90;
    for (std::size_t cycle = 0; cycle < kCycles; ++cycle) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(listener->port());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (cycle % 3 == 1) { // a reset rather than a FIN
            const linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        } else if (cycle % 3 == 2) { // half a frame first
            const std::uint8_t partial[] = {0, 0, 0, 40, '{', '"'};
            ASSERT_EQ(::send(fd, partial, sizeof partial, MSG_NOSIGNAL), 6);
        }
        ::close(fd);
        // Each exchange ends before the next phone comes, so none is turned away.
        ASSERT_TRUE(ends->waitForCount(cycle + 2, 5s)) << "cycle " << cycle;
    }
    EXPECT_EQ(ends->snapshot(), std::vector<std::string>(kCycles + 1, "cancelled"));
    EXPECT_EQ(requests->snapshot().size(), 1u);
    Phone last(*queue, listener->port());
    ASSERT_TRUE(helloAnswered(last)) << "the listener no longer pairs";
    EXPECT_LE(openDescriptors(), descriptorsAtStart + 3) << "sockets leaked";
}

} // namespace
} // namespace ravnix::test
