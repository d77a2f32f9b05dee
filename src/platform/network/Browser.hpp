#pragma once
// Watches DNS-SD for the instances of one service type and reports the whole current set
// after every change.
//
// Threads: every method may be called from any thread and returns at once; handlers run on the
// queue given to start(), never inside a call to this object. The queue must outlive the
// browser. Destroying the last reference cancels the browser.

#include "platform/network/NetworkTypes.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ravnix {

class DispatchQueue;
class DnsSd;

namespace detail {
class BrowserCore;
}

class Browser {
  public:
    struct Result {
        ServiceEndpoint endpoint;     // connectable with Connection::create
        std::optional<TxtRecord> txt; // when asked for and read

        bool operator==(const Result&) const = default;
    };
    struct State {
        // setup → ready → cancelled; failed (final) when the DNS-SD browse breaks.
        enum class Kind { setup, ready, failed, cancelled };
        Kind kind = Kind::setup;
        std::optional<NetworkError> error; // failed only

        bool operator==(const State&) const = default;
    };
    // The whole set, ordered by endpoint (name, then type, then domain); also when empty.
    using ResultsHandler = std::function<void(const std::vector<Result>&)>;
    using StateHandler = std::function<void(const State&)>;

    // Browses `type` ("_ravnix._tcp") in `domain` (empty: the default), reading TXT records
    // when `includeTxt`.
    static std::shared_ptr<Browser> create(std::string type, std::string domain, bool includeTxt,
                                           std::shared_ptr<DnsSd> dnsSd);

    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Each replaces its handler, which runs on the queue. Set before start() so that no event
    // goes unseen; a handler set after the browser ended is dropped at once.
    void setResultsHandler(ResultsHandler handler);
    void setStateHandler(StateHandler handler);

    // The first call binds the browser to `queue` and starts it; later calls do nothing.
    void start(DispatchQueue& queue);
    // Stops browsing; no result is reported afterwards, the state handler reports cancelled.
    void cancel();

  private:
    explicit Browser(std::shared_ptr<detail::BrowserCore> core) noexcept;
    std::shared_ptr<detail::BrowserCore> core_;
};

} // namespace ravnix
