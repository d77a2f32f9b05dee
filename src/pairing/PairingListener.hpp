#pragma once
// The desktop's end of pairing: advertises "_ravnix._tcp" through DNS-SD, takes one phone
// connection at a time, answers its hello with an offer (responder side of the key agreement)
// and hands the model a request carrying the confirmation code. The user's decision goes back
// through respond(). The listener stores nothing; saving the pairing is the model's work.
//
// Threads: everything runs on the serial queue "com.belvor.ravnix.pairing.listener", and so do
// the callbacks. respond(), start() and stop() may be called from any thread.

#include "pairing/PairingMessages.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/PlatformError.hpp"
#include "platform/network/DnsSd.hpp"
#include "platform/network/NetworkTypes.hpp"
#include "security/PairingHandshake.hpp"

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ravnix {

class PairingListener {
  public:
    struct Request {
        PairingHello hello;
        std::string code; // equal to outcome.code
        PairingOutcome outcome;
        bool phoneAccepted = false;
        bool operator==(const Request&) const = default;
    };

    using RequestHandler = std::function<void(const Request&)>;
    using CancelHandler = std::function<void()>;
    using ErrorHandler = std::function<void(const std::string&)>;

    // Runs `task` once after `delay`, from any thread. The default uses the listener's queue;
    // tests pass a hand-driven one to stand in for the passing of time.
    using Scheduler =
        std::function<void(std::chrono::milliseconds delay, std::move_only_function<void()> task)>;

    struct Options {
        std::string macIdentifier;
        std::string macName = "Mac";    // DNS-SD instance name and the offer's macName
        std::uint16_t touchPort = 9931; // published in the TXT record as "udp"
        // The TCP port wished for; when another program holds it the system picks one
        // (port() tells which). 0: the system picks from the start.
        std::uint16_t port = 0;
        std::vector<std::string> addresses;
        std::shared_ptr<DnsSd> dnsSd;
        // A connection that has not produced a valid hello by then is reset with onCancelled,
        // so that a silent client cannot hold the single exchange for ever.
        std::chrono::milliseconds helloDeadline{30000};
        // Time the result has to leave before the connection is closed.
        std::chrono::milliseconds closeDelay{200};
        Scheduler scheduler; // empty: the listener's queue
    };

    // Creates the queue; no network activity yet.
    static std::expected<std::shared_ptr<PairingListener>, PlatformError> make(Options options);
    // Stops and joins the queue; no callback runs afterwards. Not from a callback.
    ~PairingListener();
    PairingListener(const PairingListener&) = delete;
    PairingListener& operator=(const PairingListener&) = delete;

    // Install before start().
    void setOnRequest(RequestHandler handler);
    void setOnCancelled(CancelHandler handler);
    void setOnError(ErrorHandler handler);

    // Opens a TCP listener on the options' port (or one the system picks) and advertises it.
    // Fails with the platform's error; does nothing when already started.
    std::expected<void, NetworkError> start();
    // Stops advertising and ends any exchange, without a callback.
    void stop();
    // The user's decision on the current request; the pairing number is dropped when refused.
    // With `to`, the decision goes out only if the exchange in progress is still the one that
    // hello began: an answer must never reach a phone that connected after the question.
    // An exchange is answered once; later decisions send nothing.
    void respond(bool accepted, std::optional<std::uint32_t> pairingID,
                 std::optional<PairingHello> to = std::nullopt);

    // The listening port (0 before start()).
    std::uint16_t port() const;

  private:
    struct Core; // shared with the handlers, which never hold this object itself
    PairingListener(std::shared_ptr<Core> core, std::unique_ptr<DispatchQueue> queue);

    std::shared_ptr<Core> core;
    std::unique_ptr<DispatchQueue> queue; // joined in the destructor, on the owner's thread
};

} // namespace ravnix
