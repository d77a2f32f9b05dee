#pragma once
// A per-user store of secret items, each addressed by a service and an account name and
// holding one byte string: the desktop's Secret Service, or private files when no Secret
// Service answers. Operations report a status code: 0 is success, -25300 is "no such item",
// every other failure is one of the negative codes below.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ravnix {

using SecretStatus = std::int32_t;

struct SecretStatusCode {
    SecretStatusCode() = delete;
    static constexpr SecretStatus success = 0;
    static constexpr SecretStatus itemNotFound = -25300;
    // Failures of our own; each has a text from secretStatusMessage().
    static constexpr SecretStatus duplicateItem = -27001;      // add() of an existing item
    static constexpr SecretStatus serviceUnavailable = -27002; // no bus, or nobody answers
    static constexpr SecretStatus locked = -27003;             // the collection stays locked
    static constexpr SecretStatus invalidAddress = -27004;     // unusable service or account
    static constexpr SecretStatus storageFailed = -27005;      // the file store's I/O failed
    static constexpr SecretStatus serviceFailed = -27006;      // the Secret Service refused
    static constexpr SecretStatus corruptData = -27007;        // stored bytes do not decode
};

// The Turkish text for the codes above (and for success and "not found"); none for any other
// number.
std::optional<std::string> secretStatusMessage(SecretStatus status);

struct SecretItemAddress {
    std::string service;
    std::string account;
    auto operator<=>(const SecretItemAddress&) const = default;
};

// Who may read an item, fixed when it is added. The only level in use: readable once the
// user has logged in (unlocked the keyring), only by this user on this machine. The file
// store gives such files mode 0600.
enum class SecretAccessibility { afterFirstUnlockThisDeviceOnly };

struct SecretReadResult {
    SecretStatus status = SecretStatusCode::success;
    std::vector<std::uint8_t> bytes; // the item's data; empty unless status is success
    bool operator==(const SecretReadResult&) const = default;
};

// Implementations are shared (std::shared_ptr) and safe to call from any thread; every call
// blocks until the backend has answered (a D-Bus round trip or file I/O), so callers keep them
// off threads that must not wait. Byte strings are copied in and out: the store keeps no
// reference to the caller's buffers, and returned bytes belong to the caller.
class SecretStore {
  public:
    virtual ~SecretStore() = default;

    // The item's data: success with the bytes, itemNotFound, or a failure.
    virtual SecretReadResult read(const SecretItemAddress& address) = 0;
    // Replaces the data of an existing item. itemNotFound when there is none: nothing is
    // created then.
    virtual SecretStatus update(const SecretItemAddress& address,
                                std::span<const std::uint8_t> bytes) = 0;
    // Creates the item. duplicateItem when it exists already; its data is left as it was.
    virtual SecretStatus add(const SecretItemAddress& address, std::span<const std::uint8_t> bytes,
                             SecretAccessibility accessibility) = 0;

    // The text for a status this store can report; none for numbers it does not know.
    virtual std::optional<std::string> message(SecretStatus status) const {
        return secretStatusMessage(status);
    }
    // A short description for the log: which backend, and where it keeps its items.
    virtual std::string description() const = 0;
};

} // namespace ravnix
