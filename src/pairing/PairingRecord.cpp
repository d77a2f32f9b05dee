#include "pairing/PairingRecord.hpp"

#include "pairing/Base64.hpp"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>

namespace ravnix {

namespace {

using nlohmann::json;
using nlohmann::ordered_json;
using Date = PairingRecord::Date;

// 2001-01-01 00:00:00 UTC on the system clock, whose epoch is 1970-01-01 00:00:00 UTC.
constexpr std::chrono::seconds referenceDate{978'307'200};

// A member's value; null when it is missing or null, which both mean "absent".
const json* member(const json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

// Readers of one required member; std::nullopt means it is absent or unacceptable.
std::optional<std::string> readString(const json& object, const char* key) {
    const json* value = member(object, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get_ref<const std::string&>();
}

std::optional<std::uint32_t> readUInt32(const json& object, const char* key) {
    const json* value = member(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    constexpr auto largest = std::numeric_limits<std::uint32_t>::max();
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        return number <= largest ? std::optional(static_cast<std::uint32_t>(number)) : std::nullopt;
    }
    if (value->is_number_integer()) { // a negative number ("-0" included, which is 0)
        return value->get<std::int64_t>() == 0 ? std::optional(0u) : std::nullopt;
    }
    if (value->is_number_float()) { // 7.0 is still the number 7
        const double number = value->get<double>();
        if (number >= 0 && number <= largest && std::floor(number) == number) {
            return static_cast<std::uint32_t>(number);
        }
    }
    return std::nullopt;
}

// A date member; `required` members fail when absent, optional ones become none.
bool readDate(const json& object, const char* key, bool required, std::optional<Date>& out) {
    out.reset();
    const json* value = member(object, key);
    if (value == nullptr) {
        return !required;
    }
    if (!value->is_number()) {
        return false;
    }
    const double seconds = value->get<double>();
    if (!std::isfinite(seconds)) { // a literal beyond the range of a double
        return false;
    }
    out = Date{seconds};
    return true;
}

bool readHosts(const json& object, std::optional<std::vector<std::string>>& out) {
    out.reset();
    const json* value = member(object, "hosts");
    if (value == nullptr) {
        return true;
    }
    if (!value->is_array()) {
        return false;
    }
    std::vector<std::string> hosts;
    hosts.reserve(value->size());
    for (const json& host : *value) {
        if (!host.is_string()) {
            return false;
        }
        hosts.push_back(host.get_ref<const std::string&>());
    }
    out = std::move(hosts);
    return true;
}

std::optional<PairingRecord> readRecord(const json& object) {
    if (!object.is_object()) {
        return std::nullopt;
    }
    auto id = readString(object, "id");
    auto displayName = readString(object, "displayName");
    auto model = readString(object, "model");
    const auto keyText = readString(object, "keyMaterial");
    const auto pairingID = readUInt32(object, "pairingID");
    if (!id || !displayName || !model || !keyText || !pairingID) {
        return std::nullopt;
    }
    auto keyMaterial = Base64::decode(*keyText);
    if (!keyMaterial) {
        return std::nullopt;
    }
    PairingRecord record{std::move(*id),    std::move(*displayName),
                         std::move(*model), std::move(*keyMaterial),
                         *pairingID,        {},
                         std::nullopt,      std::nullopt};
    std::optional<Date> pairedAt;
    if (!readDate(object, "pairedAt", true, pairedAt) ||
        !readDate(object, "lastSeenAt", false, record.lastSeenAt) ||
        !readHosts(object, record.hosts)) {
        return std::nullopt;
    }
    record.pairedAt = *pairedAt;
    return record;
}

bool isFinite(const PairingRecord& record) {
    return std::isfinite(record.pairedAt.secondsSinceReferenceDate) &&
           (!record.lastSeenAt || std::isfinite(record.lastSeenAt->secondsSinceReferenceDate));
}

} // namespace

PairingRecord::Date PairingRecord::Date::from(std::chrono::system_clock::time_point time) {
    const auto sinceReference = time.time_since_epoch() - referenceDate;
    // Whole seconds and the fraction apart, so that only the sum is rounded to a double.
    const auto whole = std::chrono::floor<std::chrono::seconds>(sinceReference);
    const auto fraction =
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceReference - whole);
    return {static_cast<double>(whole.count()) + static_cast<double>(fraction.count()) / 1e9};
}

std::chrono::system_clock::time_point PairingRecord::Date::timePoint() const {
    using Clock = std::chrono::system_clock;
    // Seconds since the reference date that the clock's nanoseconds can still hold.
    constexpr double latest = 9.2e9 - 978'307'200.0;
    constexpr double earliest = -9.2e9 - 978'307'200.0;
    if (!(secondsSinceReferenceDate < latest)) {
        return secondsSinceReferenceDate > 0 ? Clock::time_point::max() : Clock::time_point::min();
    }
    if (secondsSinceReferenceDate < earliest) {
        return Clock::time_point::min();
    }
    const double whole = std::floor(secondsSinceReferenceDate);
    const auto nanoseconds = std::llround((secondsSinceReferenceDate - whole) * 1e9);
    const auto sinceEpoch = referenceDate + std::chrono::seconds(static_cast<std::int64_t>(whole)) +
                            std::chrono::nanoseconds(nanoseconds);
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(sinceEpoch));
}

std::optional<std::string> encodePairingRecords(std::span<const PairingRecord> records) {
    // Members in the record's field order, for whoever reads the item by eye.
    ordered_json list = ordered_json::array();
    for (const PairingRecord& record : records) {
        if (!isFinite(record)) { // would be written as null, which reads back as no date
            return std::nullopt;
        }
        ordered_json object = ordered_json::object();
        object["id"] = record.id;
        object["displayName"] = record.displayName;
        object["model"] = record.model;
        object["keyMaterial"] = Base64::encode(record.keyMaterial);
        object["pairingID"] = record.pairingID;
        object["pairedAt"] = record.pairedAt.secondsSinceReferenceDate;
        if (record.lastSeenAt) {
            object["lastSeenAt"] = record.lastSeenAt->secondsSinceReferenceDate;
        }
        if (record.hosts) {
            object["hosts"] = *record.hosts;
        }
        list.push_back(std::move(object));
    }
    try {
        return list.dump(); // the strict error handler refuses invalid UTF-8
    } catch (const ordered_json::exception&) {
        return std::nullopt;
    }
}

std::optional<std::vector<PairingRecord>>
decodePairingRecords(std::span<const std::uint8_t> bytes) {
    const auto* text = reinterpret_cast<const char*>(bytes.data());
    try {
        const json root =
            json::parse(text, text + bytes.size(), nullptr, /*allow_exceptions=*/false);
        if (root.is_discarded() || !root.is_array()) {
            return std::nullopt;
        }
        std::vector<PairingRecord> records;
        records.reserve(root.size());
        for (const json& element : root) {
            auto record = readRecord(element);
            if (!record) {
                return std::nullopt;
            }
            records.push_back(std::move(*record));
        }
        return records;
    } catch (const json::exception&) {
        // Not expected with the type checks above; unreadable data is still just unreadable.
        return std::nullopt;
    }
}

} // namespace ravnix
