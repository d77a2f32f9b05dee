#include "platform/network/Browser.hpp"

#include "platform/network/DnsSd.hpp"
#include "platform/network/detail/QueueBinding.hpp"

#include <cerrno>
#include <map>
#include <utility>

namespace ravnix {

namespace detail {

class BrowserCore : public std::enable_shared_from_this<BrowserCore> {
  public:
    using State = Browser::State;

    BrowserCore(std::string type, std::string domain, bool includeTxt, std::shared_ptr<DnsSd> dnsSd)
        : type_(std::move(type)), domain_(std::move(domain)), includeTxt_(includeTxt),
          dnsSd_(std::move(dnsSd)) {}

    void setResultsHandler(Browser::ResultsHandler handler) {
        binding_.post([self = shared_from_this(), handler = std::move(handler)]() mutable {
            if (!self->isFinal()) {
                self->resultsHandler_ = std::move(handler);
            }
        });
    }

    void setStateHandler(Browser::StateHandler handler) {
        binding_.post([self = shared_from_this(), handler = std::move(handler)]() mutable {
            if (!self->isFinal()) {
                self->stateHandler_ = std::move(handler);
            }
        });
    }

    void start(DispatchQueue& queue) {
        binding_.bind(queue, [self = shared_from_this()] {
            if (!self->isFinal()) {
                self->open();
            }
        });
    }

    void cancel() {
        binding_.post([self = shared_from_this()] { self->finish({State::Kind::cancelled, {}}); });
    }

    void release() {
        if (!binding_.abandon()) {
            cancel();
        }
    }

  private:
    bool isFinal() const noexcept {
        return state_.kind == State::Kind::failed || state_.kind == State::Kind::cancelled;
    }

    void open() {
        if (!dnsSd_) {
            finish({State::Kind::failed, NetworkError::fromErrno("browse(" + type_ + ")", EINVAL)});
            return;
        }
        auto operation =
            dnsSd_->browse(type_, domain_, includeTxt_, binding_.queue(),
                           [weak = weak_from_this()](const DnsSd::BrowseEvent& event) {
                               if (const auto self = weak.lock(); self && !self->isFinal()) {
                                   self->apply(event);
                               }
                           });
        if (!operation) {
            finish({State::Kind::failed, std::move(operation.error())});
            return;
        }
        browse_ = std::move(*operation);
        state_ = {State::Kind::ready, std::nullopt};
        if (stateHandler_) {
            stateHandler_(state_);
        }
    }

    void apply(const DnsSd::BrowseEvent& event) {
        switch (event.kind) {
        case DnsSd::BrowseEvent::Kind::found: {
            const auto [entry, isNew] = results_.try_emplace(event.service, event.txt);
            if (!isNew) {
                if (entry->second == event.txt) {
                    return; // the same instance seen again (another interface)
                }
                entry->second = event.txt;
            }
            break;
        }
        case DnsSd::BrowseEvent::Kind::lost:
            if (results_.erase(event.service) == 0) {
                return;
            }
            break;
        case DnsSd::BrowseEvent::Kind::failed:
            finish({State::Kind::failed, event.error.value_or(NetworkError{"browse", -1, ""})});
            return;
        }
        if (!resultsHandler_) {
            return;
        }
        std::vector<Browser::Result> results;
        results.reserve(results_.size());
        for (const auto& [endpoint, txt] : results_) {
            results.push_back({endpoint, txt});
        }
        resultsHandler_(results);
    }

    void finish(State finalState) {
        if (isFinal()) {
            return;
        }
        state_ = finalState;
        browse_.reset(); // on the queue the events go to: none runs after this
        results_.clear();
        resultsHandler_ = nullptr;
        if (auto handler = std::exchange(stateHandler_, nullptr)) {
            handler(finalState);
        }
    }

    const std::string type_;
    const std::string domain_;
    const bool includeTxt_;
    const std::shared_ptr<DnsSd> dnsSd_;
    QueueBinding binding_;

    // Queue only.
    State state_;
    Browser::ResultsHandler resultsHandler_;
    Browser::StateHandler stateHandler_;
    DnsSd::OperationHandle browse_;
    std::map<ServiceEndpoint, std::optional<TxtRecord>> results_;
};

} // namespace detail

std::shared_ptr<Browser> Browser::create(std::string type, std::string domain, bool includeTxt,
                                         std::shared_ptr<DnsSd> dnsSd) {
    return std::shared_ptr<Browser>(new Browser(std::make_shared<detail::BrowserCore>(
        std::move(type), std::move(domain), includeTxt, std::move(dnsSd))));
}

Browser::Browser(std::shared_ptr<detail::BrowserCore> core) noexcept : core_(std::move(core)) {}

Browser::~Browser() {
    core_->release();
}

void Browser::setResultsHandler(ResultsHandler handler) {
    core_->setResultsHandler(std::move(handler));
}

void Browser::setStateHandler(StateHandler handler) {
    core_->setStateHandler(std::move(handler));
}

void Browser::start(DispatchQueue& queue) {
    core_->start(queue);
}

void Browser::cancel() {
    core_->cancel();
}

} // namespace ravnix
