// The desktop's end of pairing, played against a phone written here: raw frames on a loopback
// connection, with a hand-driven clock standing in for the deadlines.

#include "pairing/PairingListener.hpp"

#include "pairing/PairingFraming.hpp"
#include "platform/network/Browser.hpp"
#include "support/FakeDnsSd.hpp"
#include "unit/platform/network/NetworkTestSupport.hpp"

#include <algorithm>
#include <gtest/gtest.h>

namespace ravnix::test {
namespace {

using std::chrono::milliseconds;

// Delayed tasks wait here until the test moves the clock past their due time; they then run on
// the test's thread, as the scheduler contract allows.
class HandClock {
  public:
    PairingListener::Scheduler scheduler() {
        return [this](milliseconds delay, std::move_only_function<void()> task) {
            std::lock_guard lock(tasksLock_);
            tasks_.push_back({now_ + delay, std::move(task)});
            delays_.push_back(delay);
            scheduled_.notify_all();
        };
    }
    // Waits until `count` tasks with this delay have been scheduled in all.
    bool waitForDelay(milliseconds delay, std::size_t count = 1) {
        std::unique_lock lock(tasksLock_);
        return scheduled_.wait_for(lock, 5s, [&] {
            return static_cast<std::size_t>(std::count(delays_.begin(), delays_.end(), delay)) >=
                   count;
        });
    }
    // Runs what is due by `to` outside the lock: a task may schedule another.
    void advanceTo(milliseconds to) {
        std::vector<Pending> due;
        {
            std::lock_guard lock(tasksLock_);
            now_ = to;
            const auto split = std::stable_partition(
                tasks_.begin(), tasks_.end(), [&](const Pending& p) { return p.due > now_; });
            std::move(split, tasks_.end(), std::back_inserter(due));
            tasks_.erase(split, tasks_.end());
        }
        for (auto& pending : due) {
            pending.task();
        }
    }
    milliseconds now() {
        std::lock_guard lock(tasksLock_);
        return now_;
    }

  private:
    struct Pending {
        milliseconds due;
        std::move_only_function<void()> task;
    };
    std::mutex tasksLock_;
    std::condition_variable scheduled_;
    milliseconds now_{0};
    std::vector<Pending> tasks_;
    std::vector<milliseconds> delays_;
};

std::vector<std::uint8_t> frame(const PairingMessage& message) {
    return PairingFraming::encode(message).value();
}

// The phone's end by hand: frames on a raw loopback connection.
struct Phone {
    Phone(DispatchQueue& queue, std::uint16_t port)
        : connection(Connection::create(HostEndpoint{"127.0.0.1", port}, Transport::tcp)) {
        connection->start(queue);
        receiveAll(connection, received);
    }
    ~Phone() { connection->cancel(); }

    PairingHello hello() const {
        const auto& key = handshake.publicKey();
        return {"phone-1", "Deniz'in telefonu", "iPhone15,2", {key.begin(), key.end()}};
    }
    void send(std::initializer_list<PairingMessage> messages) {
        std::vector<std::uint8_t> bytes;
        for (const auto& message : messages) {
            const auto one = frame(message);
            bytes.insert(bytes.end(), one.begin(), one.end());
        }
        connection->send(std::move(bytes));
    }
    std::vector<PairingMessage> messages() const { return decodeAll(received->snapshot()); }
    bool waitForMessages(std::size_t count) {
        return received->waitUntil(
            [count](const auto& all) { return decodeAll(all).size() >= count; }, 5s);
    }
    bool waitClosed(milliseconds limit = 5s) {
        return received->waitUntil(
            [](const auto& all) {
                return !all.empty() && (all.back().isComplete || all.back().error);
            },
            limit);
    }

    static std::vector<PairingMessage> decodeAll(const std::vector<Received>& chunks) {
        std::vector<std::uint8_t> buffer;
        for (const auto& chunk : chunks) {
            buffer.insert(buffer.end(), chunk.bytes.begin(), chunk.bytes.end());
        }
        return PairingFraming::decode(buffer).value_or(std::vector<PairingMessage>{});
    }

    PairingHandshake handshake = PairingHandshake::make(Pairing::Role::initiator).value();
    std::shared_ptr<Connection> connection;
    std::shared_ptr<Events<Received>> received = std::make_shared<Events<Received>>();
};

std::optional<PairingDecision> resultIn(const std::vector<PairingMessage>& messages) {
    for (const auto& message : messages) {
        if (message.index() == PairingMessageCase::result) {
            return std::get<PairingMessageCase::result>(message);
        }
    }
    return std::nullopt;
}

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
    HandClock clock;
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
    clock.advanceTo(10s);
    Phone silent(*queue, listener->port());
    ASSERT_TRUE(clock.waitForDelay(30s, 2));
    clock.advanceTo(39'999ms);
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
    EXPECT_EQ(resultIn(next.messages()), std::optional(PairingDecision{true, 7}));
    EXPECT_EQ(ends->snapshot(), (std::vector<std::string>(2, "cancelled")));
}

TEST_F(PairingListenerTest, MalformedInputIsAnErrorThenACancellationAndTheConnectionCloses) {
    const PairingHello badHello{"phone-1", "Deniz'in telefonu", "iPhone15,2",
                                std::vector<std::uint8_t>(16, 7)};
    const std::vector<std::uint8_t> unreadable = {0, 0, 0, 5, 'n', 'o', 'p', 'e', '!'};
    const std::vector<std::uint8_t> oversized = {0x00, 0x01, 0x00, 0x01, '{'};
    const struct {
        std::vector<std::uint8_t> bytes;
        std::string error;
    } cases[] = {
        {frame(badHello), "el sıkışma: badPublicKey"},
        {unreadable, "çerçeveleme: " + describe(PairingWireError::DecodingFailed{})},
        {oversized, "çerçeveleme: " + describe(PairingWireError::MessageTooLarge{65537})},
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
        EXPECT_EQ(resultIn(phone.messages()), std::optional(PairingDecision{false, std::nullopt}));
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
        EXPECT_EQ(resultIn(phone.messages()), std::optional(PairingDecision{true, 7}));
        ASSERT_TRUE(clock.waitForDelay(200ms, 2));
        clock.advanceTo(clock.now() + 200ms);
        EXPECT_TRUE(phone.waitClosed());
    }
    EXPECT_FALSE(ends->waitForCount(1, 100ms)) << ends->snapshot()[0];
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
    EXPECT_EQ(resultIn(first.messages()), std::optional(PairingDecision{true, 7}));
    EXPECT_EQ(requests->snapshot(), std::vector<PairingListener::Request>{*request});
    EXPECT_TRUE(ends->snapshot().empty());
}

} // namespace
} // namespace ravnix::test
