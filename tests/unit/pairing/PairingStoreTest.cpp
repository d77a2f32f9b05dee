#include "unit/pairing/PairingStoreSuite.hpp"

#include <cmath>
#include <nlohmann/json.hpp>
#include <random>

namespace ravnix::test {
namespace {

using Operation = MemorySecretStore::Operation;
using nlohmann::json;

INSTANTIATE_TEST_SUITE_P(Backends, PairingStoreSuite,
                         testing::Values(memoryBackend(), fileBackend()), secretBackendName);

// What the suite cannot see through a real backend: the calls made and injected failures.
class PairingStoreOverMemory : public testing::Test {
  protected:
    PairingStoreOverMemory() {
        store.setOnEvent([this](const std::string& line) { events.push_back(line); });
    }
    void seed(const std::vector<PairingRecord>& records) {
        memory->setItem(item, bytesOf(*encodePairingRecords(records)));
    }
    std::vector<Operation> operations() const {
        std::vector<Operation> result;
        for (const auto& call : memory->calls()) {
            result.push_back(call.operation);
        }
        return result;
    }

    const SecretItemAddress item{"com.belvor.ravnix.pairings", "v1"};
    const std::shared_ptr<MemorySecretStore> memory = std::make_shared<MemorySecretStore>();
    PairingStore store{memory, item.service, item.account};
    std::vector<std::string> events;
};

TEST_F(PairingStoreOverMemory, FirstSaveUpdatesFindsNothingAndAddsPrivately) {
    ASSERT_TRUE(store.save(testRecord("A", 1)));
    const auto calls = memory->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1], (MemorySecretStore::Call{Operation::update, item, std::nullopt,
                                                 SecretStatusCode::itemNotFound}));
    EXPECT_EQ(calls[2],
              (MemorySecretStore::Call{Operation::add, item,
                                       SecretAccessibility::afterFirstUnlockThisDeviceOnly,
                                       SecretStatusCode::success}));
    ASSERT_TRUE(store.save(testRecord("B", 2)));
    EXPECT_EQ(operations(), (std::vector{Operation::read, Operation::update, Operation::add,
                                         Operation::read, Operation::update}));
}

TEST_F(PairingStoreOverMemory, AFailingReadLeavesTheStoredPairingsAlone) {
    seed({testRecord("A", 1)});
    const auto before = memory->item(item);
    memory->setFailure(Operation::read, SecretStatusCode::serviceUnavailable);

    EXPECT_TRUE(store.loadAll().empty());
    EXPECT_FALSE(store.save(testRecord("B", 2)));
    EXPECT_FALSE(store.remove("A"));
    EXPECT_EQ(memory->item(item), before);
    for (const auto operation : operations()) {
        EXPECT_EQ(operation, Operation::read) << "nothing may be written after a failed read";
    }
    EXPECT_EQ(events, std::vector<std::string>(3, "keychain okuma hatasi: -27002"));
    EXPECT_EQ(store.lastErrorDescription(), "Gizli bilgi servisine ulaşılamadı");

    memory->setFailure(Operation::read, -4242); // a status nobody has a text for
    EXPECT_TRUE(store.loadAll().empty());
    EXPECT_EQ(store.lastErrorDescription(), "Keychain hatası -4242");
}

TEST_F(PairingStoreOverMemory, WriteFailuresAnswerFalseAndOnlyAFailedAddIsAnEvent) {
    memory->setFailure(Operation::add, SecretStatusCode::locked);
    EXPECT_FALSE(store.save(testRecord("A", 1)));
    EXPECT_EQ(events, std::vector<std::string>{"keychain ekleme hatasi: -27003"});
    EXPECT_EQ(store.lastErrorDescription(), "Anahtarlık kilitli");

    events.clear();
    seed({testRecord("A", 1)});
    memory->setFailure(Operation::update, SecretStatusCode::serviceFailed);
    EXPECT_FALSE(store.save(testRecord("B", 2)));
    EXPECT_FALSE(store.remove("A"));
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(store.lastStatus(), SecretStatusCode::serviceFailed);
    EXPECT_EQ(store.loadAll(), std::vector{testRecord("A", 1)});
}

TEST_F(PairingStoreOverMemory, ProbeLinesCarryTheFailingStatuses) {
    memory->setFailure(Operation::add, SecretStatusCode::locked);
    store.probe();
    // The check's own store has no event handler: its failed add is not a line of its own.
    EXPECT_EQ(events, (std::vector<std::string>{
                          "keychain sinama: yazma=HATA(-27003) okuma=0 kayit(-25300)",
                          "keychain gercek: 0 kayit (durum -25300)",
                      }));

    events.clear();
    memory->setFailure(Operation::read, SecretStatusCode::serviceUnavailable);
    store.probe();
    EXPECT_EQ(events, (std::vector<std::string>{
                          "keychain sinama: yazma=HATA(-27002) okuma=0 kayit(-27002)",
                          "keychain okuma hatasi: -27002",
                          "keychain gercek: 0 kayit (durum -27002)",
                      }));
}

TEST_F(PairingStoreOverMemory, NewPairingIDNeverGivesZeroOrAStoredNumber) {
    // Every number of the small range 1 … 15 is taken but 9; the source draws from 0 … 15.
    std::vector<PairingRecord> dense;
    for (std::uint32_t number = 1; number <= 15; ++number) {
        if (number != 9) {
            dense.push_back(testRecord("P" + std::to_string(number), number));
        }
    }
    seed(dense);
    std::mt19937 generator(20240501);
    int draws = 0;
    const auto drawsBelow = [&](std::uint32_t range) -> PairingStore::RandomSource {
        return [&, range] {
            ++draws;
            return std::optional(static_cast<std::uint32_t>(generator() % range));
        };
    };
    PairingStore seeded(memory, item.service, item.account, drawsBelow(16));
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(seeded.newPairingID(), 9u);
    }
    EXPECT_GT(draws, 20) << "the source did offer taken numbers";

    draws = 0; // only 0 and taken numbers on offer: bounded, then none
    PairingStore stuck(memory, item.service, item.account, drawsBelow(9));
    EXPECT_EQ(stuck.newPairingID(), std::nullopt);
    EXPECT_EQ(draws, PairingStore::maximumDraws);
    PairingStore broken(memory, item.service, item.account, [] { return std::nullopt; });
    EXPECT_EQ(broken.newPairingID(), std::nullopt);
}

TEST(PairingRecordJSON, ReadsWhatOthersMayWrite) {
    // Null optionals, unknown members, any member order, integral numbers written as floats.
    const std::string text = R"([{"pairedAt": 736257600, "model": "iPhone15,2", "extra": {"x": 1},
        "keyMaterial": "AAECAw==", "pairingID": 7.0, "displayName": "Telefon", "id": "A",
        "lastSeenAt": null, "hosts": null}])";
    const auto records = decodePairingRecords(bytesOf(text));
    ASSERT_TRUE(records);
    ASSERT_EQ(records->size(), 1u);
    const PairingRecord& record = records->front();
    EXPECT_EQ(record.keyMaterial, (std::vector<std::uint8_t>{0, 1, 2, 3}));
    EXPECT_EQ(record.pairingID, 7u);
    EXPECT_EQ(record.pairedAt, testDate(-250)); // 2024-05-01 12:00:00 UTC
    EXPECT_EQ(record.lastSeenAt, std::nullopt);
    EXPECT_EQ(record.hosts, std::nullopt);

    // A stored date is written back as the same number, so saves never drift other records.
    // The clock's time is within a double's precision of it.
    const std::string precise =
        R"([{"id":"A","displayName":"T","model":"M","keyMaterial":"",)"
        R"("pairingID":1,"pairedAt":736257600.1234567,"lastSeenAt":-1e-7}])";
    const auto decoded = decodePairingRecords(bytesOf(precise));
    ASSERT_TRUE(decoded);
    const json rewritten = json::parse(*encodePairingRecords(*decoded));
    EXPECT_EQ(rewritten[0]["pairedAt"].get<double>(), 736257600.1234567);
    EXPECT_EQ(rewritten[0]["lastSeenAt"].get<double>(), -1e-7);
    using namespace std::chrono;
    const auto clock = decoded->front().pairedAt.timePoint();
    const auto expected = sys_days{year{2024} / 5 / 1} + hours(12) + nanoseconds(123'456'700);
    EXPECT_LT(abs(clock - expected), microseconds(1));
    EXPECT_EQ(PairingRecord::Date::from(sys_days{year{2001} / 1 / 1} - milliseconds(250)),
              PairingRecord::Date{-0.25});
}

TEST(PairingRecordJSON, OneUnreadableRecordMakesTheWholeListUnreadable) {
    const std::string valid = R"({"id":"A","displayName":"T","model":"M","keyMaterial":"AAECAw==",)"
                              R"("pairingID":1,"pairedAt":1.5})";
    ASSERT_TRUE(decodePairingRecords(bytesOf("[" + valid + "]")));
    const std::vector<std::string> broken = {
        "",
        "{}",
        "[\"\xC3\x28\"]",
        "[" + valid + ",1]",
        R"([{"displayName":"T","model":"M","keyMaterial":"","pairingID":1,"pairedAt":1}])",
        R"([{"id":null,"displayName":"T","model":"M","keyMaterial":"","pairingID":1,"pairedAt":1}])",
        R"([{"id":"A","displayName":"T","model":"M","keyMaterial":"AAECAx==","pairingID":1,"pairedAt":1}])",
        R"([{"id":"A","displayName":"T","model":"M","keyMaterial":"","pairingID":-1,"pairedAt":1}])",
        R"([{"id":"A","displayName":"T","model":"M","keyMaterial":"","pairingID":4294967296,"pairedAt":1}])",
        R"([{"id":"A","displayName":"T","model":"M","keyMaterial":"","pairingID":1.5,"pairedAt":1}])",
        R"([{"id":"A","displayName":"T","model":"M","keyMaterial":"","pairingID":1,"pairedAt":"1"}])",
        R"([{"id":"A","displayName":"T","model":"M","keyMaterial":"","pairingID":1,"pairedAt":1e400}])",
        R"([{"id":"A","displayName":"T","model":"M","keyMaterial":"","pairingID":1,"pairedAt":1,"hosts":[1]}])",
    };
    for (const std::string& text : broken) {
        EXPECT_EQ(decodePairingRecords(bytesOf(text)), std::nullopt) << text;
    }
    PairingRecord invalidText = testRecord("A", 1);
    invalidText.displayName = "\xC3";
    EXPECT_EQ(encodePairingRecords(std::vector{invalidText}), std::nullopt);
    PairingRecord infinite = testRecord("A", 1);
    infinite.lastSeenAt = PairingRecord::Date{HUGE_VAL};
    EXPECT_EQ(encodePairingRecords(std::vector{infinite}), std::nullopt) << "not as null";
}

} // namespace
} // namespace ravnix::test
