#pragma once
// Keeps the items in memory, for the tests of the modules that keep secrets: every call is
// recorded, and failures and arbitrary stored bytes can be put in place.

#include "platform/secret/SecretStore.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <vector>

namespace ravnix {

class MemorySecretStore final : public SecretStore {
  public:
    enum class Operation { read, update, add };

    struct Call {
        Operation operation;
        SecretItemAddress address;
        std::optional<SecretAccessibility> accessibility; // add() only
        SecretStatus status;                              // what the call answered
        bool operator==(const Call&) const = default;
    };

    SecretReadResult read(const SecretItemAddress& address) override;
    SecretStatus update(const SecretItemAddress& address,
                        std::span<const std::uint8_t> bytes) override;
    SecretStatus add(const SecretItemAddress& address, std::span<const std::uint8_t> bytes,
                     SecretAccessibility accessibility) override;
    std::string description() const override { return "bellek"; }

    // Stores `bytes` (any bytes: also data no reader can decode) as if an earlier add() had.
    void setItem(const SecretItemAddress& address, std::vector<std::uint8_t> bytes);
    // The item's bytes, without recording a call; none when there is no item. (Which
    // accessibility an add() asked for, calls() tells.)
    std::optional<std::vector<std::uint8_t>> item(const SecretItemAddress& address) const;

    // From now on every call of `operation` answers `status` and changes nothing (absent:
    // such calls work again).
    void setFailure(Operation operation, std::optional<SecretStatus> status);
    std::vector<Call> calls() const;

  private:
    SecretStatus record(Call call);

    mutable std::mutex itemsLock; // guards everything below
    std::map<SecretItemAddress, std::vector<std::uint8_t>> items;
    std::map<Operation, SecretStatus> failures;
    std::vector<Call> recorded;
};

} // namespace ravnix
