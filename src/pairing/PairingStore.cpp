#include "pairing/PairingStore.hpp"

#include <algorithm>
#include <array>
#include <openssl/rand.h>
#include <unordered_set>

namespace ravnix {

namespace {

// The key material of the start-up check's record: a fixed filler, never a real key.
constexpr std::uint8_t probeKeyFiller = 0xA5;

std::optional<std::uint32_t> systemRandomWord() {
    std::array<unsigned char, 4> bytes{};
    if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) {
        return std::nullopt;
    }
    return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
           (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
}

std::span<const std::uint8_t> asBytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

} // namespace

PairingStore::PairingStore(std::shared_ptr<SecretStore> secrets, std::string service,
                           std::string account, RandomSource random)
    : secrets(std::move(secrets)), address{std::move(service), std::move(account)},
      random(random ? std::move(random) : RandomSource(systemRandomWord)) {}

void PairingStore::setOnEvent(EventHandler handler) {
    std::lock_guard guard(onEventLock);
    onEvent = std::move(handler);
}

void PairingStore::deliver(const Events& events) {
    if (events.empty()) {
        return;
    }
    EventHandler handler;
    {
        std::lock_guard guard(onEventLock);
        handler = onEvent;
    }
    if (handler) {
        for (const std::string& line : events) {
            handler(line);
        }
    }
}

PairingStore::Read PairingStore::readLocked(Events& events) {
    const SecretReadResult result = secrets->read(address);
    lastStatus_ = result.status;
    if (result.status == SecretStatusCode::itemNotFound) {
        return {{}, true};
    }
    if (result.status != SecretStatusCode::success) {
        events.push_back("keychain okuma hatasi: " + std::to_string(result.status));
        return {};
    }
    auto records = decodePairingRecords(result.bytes);
    if (!records) {
        // No event, but a status: otherwise the refused writes that follow would have no
        // description to show.
        lastStatus_ = SecretStatusCode::corruptData;
        return {};
    }
    return {std::move(*records), true};
}

bool PairingStore::writeLocked(const std::vector<PairingRecord>& records, Events& events) {
    const auto json = encodePairingRecords(records);
    if (!json) {
        return false;
    }
    SecretStatus status = secrets->update(address, asBytes(*json));
    lastStatus_ = status;
    if (status != SecretStatusCode::itemNotFound) {
        return status == SecretStatusCode::success;
    }
    status =
        secrets->add(address, asBytes(*json), SecretAccessibility::afterFirstUnlockThisDeviceOnly);
    lastStatus_ = status;
    if (status != SecretStatusCode::success) {
        events.push_back("keychain ekleme hatasi: " + std::to_string(status));
    }
    return status == SecretStatusCode::success;
}

std::vector<PairingRecord> PairingStore::loadAll() {
    Events events;
    Read read;
    {
        std::lock_guard guard(itemLock);
        read = readLocked(events);
    }
    deliver(events);
    return std::move(read.records);
}

std::optional<PairingRecord> PairingStore::record(std::string_view id) {
    auto records = loadAll();
    const auto found = std::ranges::find(records, id, &PairingRecord::id);
    return found == records.end() ? std::nullopt : std::optional(std::move(*found));
}

std::optional<PairingRecord> PairingStore::record(std::uint32_t pairingID) {
    auto records = loadAll();
    const auto found = std::ranges::find(records, pairingID, &PairingRecord::pairingID);
    return found == records.end() ? std::nullopt : std::optional(std::move(*found));
}

bool PairingStore::save(const PairingRecord& record) {
    Events events;
    bool isSaved = false;
    {
        std::lock_guard guard(itemLock);
        Read read = readLocked(events);
        if (read.isComplete) {
            std::erase_if(read.records, [&](const PairingRecord& stored) {
                return stored.id == record.id || stored.pairingID == record.pairingID;
            });
            read.records.push_back(record);
            isSaved = writeLocked(read.records, events);
        }
    }
    deliver(events);
    return isSaved;
}

bool PairingStore::remove(std::string_view id) {
    Events events;
    bool isWritten = false;
    {
        std::lock_guard guard(itemLock);
        Read read = readLocked(events);
        if (read.isComplete) {
            std::erase_if(read.records,
                          [&](const PairingRecord& stored) { return stored.id == id; });
            isWritten = writeLocked(read.records, events);
        }
    }
    deliver(events);
    return isWritten;
}

std::optional<std::uint32_t> PairingStore::newPairingID() {
    std::unordered_set<std::uint32_t> used;
    for (const PairingRecord& stored : loadAll()) {
        used.insert(stored.pairingID);
    }
    for (int draw = 0; draw < maximumDraws; ++draw) {
        const auto word = random();
        if (!word) {
            return std::nullopt;
        }
        // 0 is drawn again rather than mapped to another number, so that every number in
        // 1 … 4294967295 stays equally likely.
        if (*word != 0 && !used.contains(*word)) {
            return *word;
        }
    }
    return std::nullopt;
}

std::optional<std::string> PairingStore::lastErrorDescription() const {
    const SecretStatus status = lastStatus_.load();
    if (status == SecretStatusCode::success || status == SecretStatusCode::itemNotFound) {
        return std::nullopt;
    }
    if (auto message = secrets->message(status)) {
        return message;
    }
    return "Keychain hatası " + std::to_string(status);
}

void PairingStore::probe() {
    PairingStore probeStore(secrets, address.service + ".probe", "probe", random);
    const PairingRecord probeRecord{
        "probe",
        "probe",
        "probe",
        std::vector<std::uint8_t>(PairingKey::size, probeKeyFiller),
        1,
        PairingRecord::Date::now(),
        std::nullopt,
        std::nullopt,
    };
    const bool isSaved = probeStore.save(probeRecord);
    const SecretStatus writeStatus = probeStore.lastStatus();
    const std::size_t probeCount = probeStore.loadAll().size();
    const SecretStatus readStatus = probeStore.lastStatus();
    probeStore.remove(probeRecord.id);

    deliver({"keychain sinama: yazma=" + std::string(isSaved ? "ok" : "HATA") + "(" +
             std::to_string(writeStatus) + ") okuma=" + std::to_string(probeCount) + " kayit(" +
             std::to_string(readStatus) + ")"});
    const std::size_t ownCount = loadAll().size();
    deliver({"keychain gercek: " + std::to_string(ownCount) + " kayit (durum " +
             std::to_string(lastStatus()) + ")"});
}

} // namespace ravnix
