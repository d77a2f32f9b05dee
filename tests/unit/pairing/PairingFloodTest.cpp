// The pairing listener against hostile clients on loopback: absurd length fields, garbage,
// a half frame and then silence, a byte trickle, and a thousand connections that come and go.
// It must report what it can, drop each of them, keep no socket open, and still pair.

#include "pairing/PairingFraming.hpp"
#include "pairing/PairingListener.hpp"
#include "support/FakeDnsSd.hpp"
#include "unit/platform/network/NetworkTestSupport.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace ravnix::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kHelloDeadline{300};

std::size_t openDescriptors() {
    std::size_t count = 0;
    if (DIR* folder = ::opendir("/proc/self/fd")) {
        while (::readdir(folder) != nullptr) {
            ++count;
        }
        ::closedir(folder);
    }
    return count; // includes ".", ".." and the folder's own descriptor: a constant offset
}

// A phone of raw bytes: one TCP socket to 127.0.0.1.
class RawClient {
  public:
    explicit RawClient(std::uint16_t port) : fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        isConnected =
            fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool send(std::span<const std::uint8_t> bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            bytes = bytes.subspan(static_cast<std::size_t>(n));
        }
        return true;
    }
    // Reads until the listener ends the connection (end of stream or reset), at most `limit`.
    bool waitClosed(milliseconds limit = milliseconds(5000)) {
        const auto deadline = Clock::now() + limit;
        while (!isClosed) {
            if (!readSome(deadline)) {
                return isClosed;
            }
        }
        return true;
    }
    // The messages received so far once at least `count` have come, within `limit`.
    std::vector<PairingMessage> waitForMessages(std::size_t count,
                                                milliseconds limit = milliseconds(5000)) {
        const auto deadline = Clock::now() + limit;
        while (decoded.size() < count && !isClosed) {
            if (!readSome(deadline)) {
                break;
            }
        }
        return decoded;
    }
    // Ends with a reset rather than a FIN.
    void abort() {
        const linger hard{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        close();
    }
    void close() {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    int fd;
    bool isConnected = false;
    bool isClosed = false;

  private:
    // One read, waiting no later than `deadline`; false when nothing more can come in time.
    bool readSome(Clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd one{fd, POLLIN, 0};
        if (::poll(&one, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        std::array<std::uint8_t, 4096> chunk{};
        const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
        if (n <= 0) {
            isClosed = true;
            return true;
        }
        buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + n);
        if (auto messages = PairingFraming::decode(buffer)) {
            decoded.insert(decoded.end(), messages->begin(), messages->end());
        }
        return true;
    }

    std::vector<std::uint8_t> buffer;
    std::vector<PairingMessage> decoded;
};

class PairingFloodTest : public ::testing::Test {
  protected:
    void SetUp() override {
        PairingListener::Options options;
        options.macIdentifier = "MAC-ID-1";
        options.macName = "Mutfak";
        options.addresses = {"127.0.0.1"};
        options.dnsSd = FakeDnsSd::create();
        options.helloDeadline = kHelloDeadline; // the real scheduler
        auto made = PairingListener::make(options);
        ASSERT_TRUE(made) << made.error().text();
        listener = *made;
        listener->setOnRequest([requests = requests](const auto& r) { requests->add(r); });
        listener->setOnCancelled([ends = ends] { ends->add("cancelled"); });
        listener->setOnError([ends = ends](const std::string& e) { ends->add("error: " + e); });
        const auto started = listener->start();
        ASSERT_TRUE(started) << started.error().text();
        ASSERT_NE(listener->port(), 0);
    }

    // The ends reported after the first `from`, once `count` more have come.
    std::vector<std::string> endsAfter(std::size_t from, std::size_t count) {
        EXPECT_TRUE(ends->waitForCount(from + count, 5s))
            << "expected " << count << " more ends after " << from;
        const auto all = ends->snapshot();
        return {all.begin() + static_cast<long>(std::min(from, all.size())), all.end()};
    }

    // A whole exchange: hello, offer, request, acceptance with number 7, result.
    void pairsNormally() {
        RawClient phone(listener->port());
        ASSERT_TRUE(phone.isConnected);
        auto handshake = PairingHandshake::make(Pairing::Role::initiator).value();
        const auto& key = handshake.publicKey();
        const PairingHello hello{"phone-1", "Deniz'in telefonu", "iPhone15,2",
                                 std::vector<std::uint8_t>(key.begin(), key.end())};
        const std::size_t requestsBefore = requests->snapshot().size();
        ASSERT_TRUE(phone.send(PairingFraming::encode(hello).value()));
        auto messages = phone.waitForMessages(1);
        ASSERT_EQ(messages.size(), 1u) << "no offer";
        ASSERT_EQ(messages[0].index(), PairingMessageCase::offer);
        const auto& offer = std::get<PairingMessageCase::offer>(messages[0]);
        ASSERT_TRUE(requests->waitForCount(requestsBefore + 1, 5s)) << "no request";
        const auto request = requests->snapshot().back();
        EXPECT_EQ(request.hello, hello);
        const auto phoneSide = handshake.complete(offer.publicKey);
        ASSERT_TRUE(phoneSide);
        EXPECT_EQ(phoneSide->code, request.code);

        listener->respond(true, 7);
        messages = phone.waitForMessages(2);
        ASSERT_EQ(messages.size(), 2u) << "no result";
        ASSERT_EQ(messages[1].index(), PairingMessageCase::result);
        EXPECT_EQ(std::get<PairingMessageCase::result>(messages[1]), (PairingDecision{true, 7}));
        EXPECT_TRUE(phone.waitClosed()) << "the listener kept the finished exchange open";
    }

    std::shared_ptr<Events<PairingListener::Request>> requests =
        std::make_shared<Events<PairingListener::Request>>();
    std::shared_ptr<Events<std::string>> ends = std::make_shared<Events<std::string>>();
    std::shared_ptr<PairingListener> listener;
};

TEST_F(PairingFloodTest, BadFramesAreErrorsAndSilenceIsResetAtTheHelloDeadline) {
    std::mt19937 random(7);
    std::vector<std::uint8_t> garbage(16384);
    for (auto& b : garbage) {
        b = static_cast<std::uint8_t>(random());
    }
    garbage[0] = 0; // a plausible length, so the body is read and found unreadable
    garbage[1] = 0;
    garbage[2] = 0x10;
    garbage[3] = 0x00;
    const std::vector<std::uint8_t> hugeLength = {0xFF, 0xFF, 0xFF, 0xFF, '{', '"'};
    const std::vector<std::uint8_t> emptyFrame = {0, 0, 0, 0};
    const std::vector<std::uint8_t> notAMessage = {0, 0, 0, 7, '[', '1', ',', '2', ',', '3', ']'};
    const std::string tooLarge =
        "çerçeveleme: " + describe(PairingWireError::MessageTooLarge{0xFFFFFFFFLL});
    const std::string unreadable = "çerçeveleme: " + describe(PairingWireError::DecodingFailed{});
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
        std::string error;
    } cases[] = {
        {"4 GiB length", hugeLength, tooLarge},
        {"garbage", garbage, unreadable},
        {"empty body", emptyFrame, unreadable},
        {"JSON that is no message", notAMessage, unreadable},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = ends->snapshot().size();
        RawClient client(listener->port());
        ASSERT_TRUE(client.isConnected);
        client.send(c.bytes); // the listener may reset before it has read everything
        EXPECT_EQ(endsAfter(before, 2),
                  (std::vector<std::string>{"error: " + c.error, "cancelled"}));
        EXPECT_TRUE(client.waitClosed());
    }

    // Half a hello, then nothing: reset at the deadline, with no error to show.
    const auto hello =
        PairingFraming::encode(PairingHello{"phone-1", "Deniz'in telefonu", "iPhone15,2",
                                            std::vector<std::uint8_t>(32, 9)})
            .value();
    {
        const std::size_t before = ends->snapshot().size();
        RawClient silent(listener->port());
        ASSERT_TRUE(silent.isConnected);
        const auto start = Clock::now();
        ASSERT_TRUE(silent.send(std::span(hello).first(hello.size() / 2)));
        EXPECT_TRUE(silent.waitClosed()) << "a silent client still holds the listener";
        const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        EXPECT_GE(waited.count(), kHelloDeadline.count() - 50) << "reset before its deadline";
        EXPECT_EQ(endsAfter(before, 1), std::vector<std::string>{"cancelled"});
    }
    // A trickle of the same hello, one byte every 40 ms, does not move the deadline either.
    {
        const std::size_t before = ends->snapshot().size();
        RawClient trickle(listener->port());
        ASSERT_TRUE(trickle.isConnected);
        const auto start = Clock::now();
        for (std::size_t i = 0; i < hello.size() && Clock::now() - start < 3s; ++i) {
            if (!trickle.send(std::span(hello).subspan(i, 1)) || trickle.waitClosed(40ms)) {
                break;
            }
        }
        EXPECT_TRUE(trickle.waitClosed());
        const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
        EXPECT_LT(waited.count(), 2000) << "each byte kept the trickle alive";
        EXPECT_EQ(endsAfter(before, 1), std::vector<std::string>{"cancelled"});
    }
    EXPECT_TRUE(requests->snapshot().empty());
    pairsNormally();
}

TEST_F(PairingFloodTest, AThousandShortConnectionsLeaveNoSocketBehind) {
    const std::size_t descriptorsAtStart = openDescriptors();
    constexpr int kCycles = 1000;
    const std::vector<std::uint8_t> partial = {0, 0, 0, 40, '{', '"'};
    const auto start = Clock::now();
    int cycles = 0;
    int refused = 0;
    for (; cycles < kCycles && Clock::now() - start < 60s; ++cycles) {
        RawClient client(listener->port());
        if (!client.isConnected) {
            ++refused;
            continue;
        }
        switch (cycles % 3) {
        case 0:
            client.close();
            break;
        case 1:
            client.abort();
            break;
        default:
            client.send(partial);
            client.close();
            break;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(cycles, kCycles) << "the cycles ran out of time";
    EXPECT_EQ(refused, 0) << "the listener stopped accepting";

    // Every exchange taken ends by itself. The listener may still be taking connections from
    // its backlog: wait until no end has been reported for a second.
    std::size_t endCount = ends->snapshot().size();
    for (const auto settle = Clock::now(); Clock::now() - settle < 20s;) {
        if (!ends->waitForCount(endCount + 1, 1s)) {
            break;
        }
        endCount = ends->snapshot().size();
    }
    const std::size_t descriptorsAfter = openDescriptors();
    const auto all = ends->snapshot();
    std::printf("connect/close: %d cycles in %.2f s, %zu exchanges cancelled, descriptors %zu "
                "before, %zu after\n",
                cycles, seconds, all.size(), descriptorsAtStart, descriptorsAfter);
    EXPECT_LE(descriptorsAfter, descriptorsAtStart + 3) << "sockets leaked";

    // Taken connections end quietly: cancellations, never errors, at most one per cycle.
    EXPECT_GE(all.size(), 1u);
    EXPECT_LE(all.size(), static_cast<std::size_t>(kCycles));
    EXPECT_EQ(std::count(all.begin(), all.end(), "cancelled"), static_cast<long>(all.size()))
        << "a connection that came and went was reported as an error";
    EXPECT_TRUE(requests->snapshot().empty());

    pairsNormally();
    EXPECT_LE(openDescriptors(), descriptorsAtStart + 3);
}

} // namespace
} // namespace ravnix::test
