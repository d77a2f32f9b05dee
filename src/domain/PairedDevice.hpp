#pragma once
// A phone this machine has been paired with. The identity is fixed; the rest may change.

#include "domain/DeviceID.hpp"
#include "domain/Hasher.hpp"

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>

namespace ravnix {

class PairedDevice {
  public:
    using Date = std::chrono::system_clock::time_point;

    PairedDevice(DeviceID id, std::string displayName, std::string model, Date pairedAt,
                 std::optional<Date> lastSeenAt = std::nullopt)
        : id_(id), displayName_(std::move(displayName)), model_(std::move(model)),
          pairedAt_(pairedAt), lastSeenAt_(lastSeenAt) {}

    const DeviceID& id() const noexcept { return id_; }
    const std::string& displayName() const noexcept { return displayName_; }
    const std::string& model() const noexcept { return model_; }
    Date pairedAt() const noexcept { return pairedAt_; }
    // Absent: never heard from.
    const std::optional<Date>& lastSeenAt() const noexcept { return lastSeenAt_; }

    void setDisplayName(std::string name) { displayName_ = std::move(name); }
    void setModel(std::string model) { model_ = std::move(model); }
    void setPairedAt(Date date) noexcept { pairedAt_ = date; }
    void setLastSeenAt(std::optional<Date> date) noexcept { lastSeenAt_ = date; }

    void hashInto(Hasher& hasher) const noexcept {
        id_.hashInto(hasher);
        hasher.combine(std::string_view(displayName_));
        hasher.combine(std::string_view(model_));
        hasher.combine(pairedAt_.time_since_epoch().count());
        // The presence marker keeps "absent" apart from any date.
        if (lastSeenAt_) {
            hasher.combine(1);
            hasher.combine(lastSeenAt_->time_since_epoch().count());
        } else {
            hasher.combine(0);
        }
    }
    bool operator==(const PairedDevice&) const = default;

  private:
    DeviceID id_;
    std::string displayName_;
    std::string model_;
    Date pairedAt_;
    std::optional<Date> lastSeenAt_;
};

} // namespace ravnix

template <>
struct std::hash<ravnix::PairedDevice> : ravnix::HashFromHasher<ravnix::PairedDevice> {};
