#include "support/MemoryPreferences.hpp"

#include <cerrno>
#include <cmath>

namespace ravnix {

namespace {
bool isFinite(const PreferenceValue& value) {
    if (auto number = value.asDouble()) {
        return std::isfinite(*number);
    }
    if (const auto* items = value.asArray()) {
        for (const auto& item : *items) {
            if (!isFinite(item)) {
                return false;
            }
        }
    }
    if (const auto* entries = value.asDictionary()) {
        for (const auto& [key, entry] : *entries) {
            if (!isFinite(entry)) {
                return false;
            }
        }
    }
    return true;
}
} // namespace

std::optional<PreferenceValue> MemoryPreferences::value(std::string_view key) const {
    std::lock_guard lock(valuesLock);
    if (auto found = values.find(key); found != values.end()) {
        return found->second;
    }
    return std::nullopt;
}

std::expected<void, PlatformError> MemoryPreferences::setValue(std::string_view key,
                                                               PreferenceValue value) {
    if (!isFinite(value)) {
        return std::unexpected(PlatformError{"setValue(" + std::string(key) + ")", EINVAL});
    }
    std::lock_guard lock(valuesLock);
    values.insert_or_assign(std::string(key), std::move(value));
    return {};
}

std::expected<void, PlatformError> MemoryPreferences::removeValue(std::string_view key) {
    std::lock_guard lock(valuesLock);
    if (auto found = values.find(key); found != values.end()) {
        values.erase(found);
    }
    return {};
}

std::optional<PreferenceValue> MemoryPreferences::domainValue(std::string_view domain,
                                                              std::string_view key) const {
    std::lock_guard lock(valuesLock);
    auto suite = domains.find(domain);
    if (suite == domains.end()) {
        return std::nullopt;
    }
    if (auto found = suite->second.find(key); found != suite->second.end()) {
        return found->second;
    }
    return std::nullopt;
}

void MemoryPreferences::setDomainValue(std::string_view domain, std::string_view key,
                                       PreferenceValue value) {
    std::lock_guard lock(valuesLock);
    domains[std::string(domain)].insert_or_assign(std::string(key), std::move(value));
}

} // namespace ravnix
