#pragma once
// The completed pairings, kept as one secret item (service and account of the store) holding
// the JSON array of PairingRecord values. The store keeps no records in memory: every call
// reads the item afresh. It never fails outward: reads fall back to an empty list, writes
// answer false, and the status of the last secret-store call is kept for a description.

#include "pairing/PairingRecord.hpp"
#include "platform/secret/SecretStore.hpp"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ravnix {

class PairingStore {
  public:
    // Uniformly random 32-bit words; none when the source fails.
    using RandomSource = std::function<std::optional<std::uint32_t>()>;
    // Diagnostic lines: read and add failures and the two start-up check lines. Lines name
    // statuses and counts only, never key material.
    using EventHandler = std::function<void(const std::string& line)>;

    // The application's store.
    static constexpr std::string_view applicationService = "com.belvor.ravnix.pairings";
    static constexpr std::string_view applicationAccount = "v1";
    // How many random words newPairingID() draws before it gives up. With real randomness a
    // word is refused only when it is 0 or already stored, so the limit is never reached.
    static constexpr int maximumDraws = 1000;

    // `random` defaults to the system's CSPRNG. Construction touches nothing.
    PairingStore(std::shared_ptr<SecretStore> secrets, std::string service, std::string account,
                 RandomSource random = {});
    PairingStore(const PairingStore&) = delete;
    PairingStore& operator=(const PairingStore&) = delete;

    // Install once, before the store is shared. The handler runs on the thread of the call
    // that produced the line, after the store's lock has been released.
    void setOnEvent(EventHandler handler);

    // Every operation below may be called from any thread and blocks for the secret store's
    // I/O. save(), remove() and loadAll() hold the store's lock for their whole
    // read-modify-write, so concurrent saves never lose each other's records.

    // The stored records in stored order; empty when there is no item or anything fails.
    std::vector<PairingRecord> loadAll();
    // The first record with that identifier, or with that pairing number.
    std::optional<PairingRecord> record(std::string_view id);
    std::optional<PairingRecord> record(std::uint32_t pairingID);

    // Replaces every stored record with the same id or the same pairingID, then appends
    // `record`. When the stored item cannot be read (a failing read, or bytes that are not a
    // list of records), nothing is written and the answer is false: the stored pairings are
    // never replaced by a list built from a failed read.
    bool save(const PairingRecord& record);
    // Drops every record with that id and writes the rest, also when nothing matched. Refuses
    // like save() when the stored item cannot be read.
    bool remove(std::string_view id);

    // A number in 1 … 4294967295 that no stored record uses, uniformly chosen among the free
    // ones; it is not reserved. The lock is held only while reading. None when the random
    // source fails or maximumDraws words were all refused.
    std::optional<std::uint32_t> newPairingID();

    // The status of the last secret-store call: 0 at start, the secret store's status after
    // each call, and SecretStatusCode::corruptData after reading bytes that are not a list of
    // records.
    SecretStatus lastStatus() const noexcept { return lastStatus_.load(); }
    // Text for the last failure: none when the last status is success or "not found"; else
    // the secret store's message, or "Keychain hatası " and the status when it has none.
    std::optional<std::string> lastErrorDescription() const;

    // The start-up check: saves, reads and removes a record in a second item (service +
    // ".probe", account "probe"), then reads this store's item, and reports both as lines:
    //   "keychain sinama: yazma=ok(0) okuma=1 kayit(0)" (HATA when the save failed)
    //   "keychain gercek: 2 kayit (durum 0)"
    void probe();

    const std::string& service() const noexcept { return address.service; }
    const std::string& account() const noexcept { return address.account; }

  private:
    struct Read {
        std::vector<PairingRecord> records;
        bool isComplete = false; // the records are all there are: no failure, nothing corrupt
    };
    using Events = std::vector<std::string>;

    Read readLocked(Events& events);
    bool writeLocked(const std::vector<PairingRecord>& records, Events& events);
    void deliver(const Events& events);

    const std::shared_ptr<SecretStore> secrets;
    const SecretItemAddress address;
    const RandomSource random;

    std::mutex itemLock; // serialises every read-modify-write of the item
    std::atomic<SecretStatus> lastStatus_{SecretStatusCode::success};

    mutable std::mutex onEventLock; // guards onEvent (held only to copy it)
    EventHandler onEvent;
};

} // namespace ravnix
