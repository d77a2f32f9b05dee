#pragma once
// Preferences kept in memory, for the tests of the modules that read and write them.

#include "platform/Preferences.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace ravnix {

class MemoryPreferences final : public Preferences {
  public:
    std::optional<PreferenceValue> value(std::string_view key) const override;
    std::expected<void, PlatformError> setValue(std::string_view key,
                                                PreferenceValue value) override;
    std::expected<void, PlatformError> removeValue(std::string_view key) override;
    std::optional<PreferenceValue> domainValue(std::string_view domain,
                                               std::string_view key) const override;

    // What another domain holds, as a test wants it.
    void setDomainValue(std::string_view domain, std::string_view key, PreferenceValue value);

  private:
    mutable std::mutex valuesLock; // guards everything below
    PreferenceValue::Dictionary values;
    std::map<std::string, PreferenceValue::Dictionary, std::less<>> domains;
};

} // namespace ravnix
