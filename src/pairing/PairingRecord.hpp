#pragma once
// One completed pairing as the pairing store keeps it, and the JSON in which a list of them
// is stored. The JSON is shared with stored items written by earlier versions and by the
// phone side, so its form is fixed:
//   [{"id": "…", "displayName": "…", "model": "…", "keyMaterial": "<Base64>",
//     "pairingID": 7, "pairedAt": 737000000.25, "lastSeenAt": …, "hosts": ["…"]}, …]
// Dates are seconds (with fraction) since 2001-01-01 00:00:00 UTC. Absent optionals are
// left out; null reads as absent; member order does not matter; unknown members are ignored.

#include "domain/PairingKey.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ravnix {

struct PairingRecord {
    // A point in time as the stored JSON holds it: seconds since 2001-01-01 00:00:00 UTC.
    // The double itself is kept (not the clock's nanoseconds, which a double cannot hold
    // exactly), so a record read back compares equal to the one saved and a stored date is
    // written back as the same number.
    struct Date {
        double secondsSinceReferenceDate = 0;

        static Date now() { return from(std::chrono::system_clock::now()); }
        static Date from(std::chrono::system_clock::time_point time);
        // The clock's time, limited to the years its 64-bit nanoseconds reach (1677 … 2262).
        std::chrono::system_clock::time_point timePoint() const;

        auto operator<=>(const Date&) const = default;
    };

    std::string id;                        // the peer's identifier: on this side the phone's
                                           // deviceID from its hello
    std::string displayName;               // the peer's user-visible name
    std::string model;                     // the peer's model name
    std::vector<std::uint8_t> keyMaterial; // the 32-byte pairing key
    std::uint32_t pairingID = 0;           // never 0; unique among the stored records
    Date pairedAt{};
    std::optional<Date> lastSeenAt;                // absent in the records this side writes
    std::optional<std::vector<std::string>> hosts; // absent in the records this side writes

    // The key, when keyMaterial has exactly 32 bytes; a record with any other length is listed
    // but authenticates nothing.
    std::optional<PairingKey> key() const { return PairingKey::make(keyMaterial); }

    bool operator==(const PairingRecord&) const = default;
};

// The JSON array of `records`, in their order. None when a text member is not valid UTF-8
// or a date is not finite (JSON has no such numbers).
std::optional<std::string> encodePairingRecords(std::span<const PairingRecord> records);

// The records of a stored JSON array. None when the bytes are not such an array or any
// element is not a record: a missing or mistyped member, key material that is not canonical
// Base64, a pairingID outside 0 … 4294967295, or a date too large to be finite.
std::optional<std::vector<PairingRecord>> decodePairingRecords(std::span<const std::uint8_t> bytes);

} // namespace ravnix
