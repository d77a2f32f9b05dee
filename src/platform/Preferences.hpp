#pragma once
// User preferences: the application's own settings, read and written, and settings of other
// domains that the desktop keeps (the trackpad speed, the hot keys), read only.

#include "platform/PlatformError.hpp"

#include <expected>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ravnix {

// One stored value: a number (always a double), a boolean, a string, an array or a dictionary.
class PreferenceValue {
  public:
    using Array = std::vector<PreferenceValue>;
    using Dictionary = std::map<std::string, PreferenceValue, std::less<>>;

    // No integer constructor: an int would silently pick bool or double.
    PreferenceValue(double number) : storage(number) {}
    PreferenceValue(bool flag) : storage(flag) {}
    PreferenceValue(std::string text) : storage(std::move(text)) {}
    PreferenceValue(const char* text) : storage(std::string(text)) {}
    PreferenceValue(Array items) : storage(std::move(items)) {}
    PreferenceValue(Dictionary entries) : storage(std::move(entries)) {}

    // The value when it has that type; absent (or null) for any other type. A boolean is not
    // a number and a numeric string is not a number.
    std::optional<double> asDouble() const;
    std::optional<bool> asBool() const;
    const std::string* asString() const;
    const Array* asArray() const;
    const Dictionary* asDictionary() const;

    bool operator==(const PreferenceValue&) const = default;

  private:
    std::variant<double, bool, std::string, Array, Dictionary> storage;
};

// Any thread may call any operation; implementations hold no lock while calling out.
class Preferences {
  public:
    // The domain of settings shared by the whole desktop, e.g. "com.apple.trackpad.scaling".
    static constexpr std::string_view globalDomain = "global";

    virtual ~Preferences() = default;

    // The application's own value for `key`; absent when there is none.
    virtual std::optional<PreferenceValue> value(std::string_view key) const = 0;
    // Stores a value. Later reads see it even when saving it failed; the error says that the
    // value may not survive the process. Doubles must be finite (EINVAL otherwise).
    virtual std::expected<void, PlatformError> setValue(std::string_view key,
                                                        PreferenceValue value) = 0;
    virtual std::expected<void, PlatformError> removeValue(std::string_view key) = 0;

    // A value of another domain (globalDomain or a suite such as "com.apple.symbolichotkeys"),
    // read afresh on every call so that a changed setting applies at once; never written.
    virtual std::optional<PreferenceValue> domainValue(std::string_view domain,
                                                       std::string_view key) const = 0;

    // Typed reads of the application's own values: a value of another type reads as absent.
    std::optional<double> doubleValue(std::string_view key) const;
    std::optional<bool> boolValue(std::string_view key) const;
    std::optional<std::string> stringValue(std::string_view key) const;
    std::optional<PreferenceValue::Array> arrayValue(std::string_view key) const;
    std::optional<PreferenceValue::Dictionary> dictionaryValue(std::string_view key) const;
};

} // namespace ravnix
