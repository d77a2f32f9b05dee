#pragma once
// Preferences kept in memory, for the tests of the modules that read and write them.

#include "platform/Preferences.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace ravnix {

// Keeps everything in memory, for the tests of the modules that read and write preferences.
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
    // From now on setValue() and removeValue() still change the values but report this error
    // (absent: they succeed again).
    void failWrites(std::optional<PlatformError> error);
    // How many setValue() and removeValue() calls there were.
    int writeCount() const;

  private:
    mutable std::mutex valuesLock; // guards everything below
    PreferenceValue::Dictionary values;
    std::map<std::string, PreferenceValue::Dictionary, std::less<>> domains;
    std::optional<PlatformError> writeError;
    int writes = 0;
};

} // namespace ravnix
