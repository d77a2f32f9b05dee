#include "pairing/PairingStore.hpp"

#include "pairing/Base64.hpp"
#include "unit/platform/secret/SecretBackends.hpp"

#include <atomic>
#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

namespace ravnix::test {
namespace {

using Operation = MemorySecretStore::Operation;
using nlohmann::json;

// 2024-05-01 12:00:00.25 UTC, and `offset` milliseconds later.
inline PairingRecord::Date testDate(int offset = 0) {
    using namespace std::chrono;
    return PairingRecord::Date::from(sys_days{year{2024} / 5 / 1} + hours(12) +
                                     milliseconds(250 + offset));
}

// A record as this side writes them: no lastSeenAt, no hosts.
inline PairingRecord testRecord(const std::string& id, std::uint32_t pairingID) {
    return {
        id,           "Telefon " + id,
        "iPhone15,2", std::vector<std::uint8_t>(32, static_cast<std::uint8_t>(pairingID * 7 + 1)),
        pairingID,    testDate(static_cast<int>(pairingID)),
        std::nullopt, std::nullopt};
}

// The store over a secret store in memory, whose calls and failures the tests see and steer;
// the secret-store contract holds every backend to what this one does.
class PairingStoreTest : public testing::Test {
  protected:
    PairingStoreTest() {
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
    // The item's bytes as the store left them.
    std::string stored() const {
        const auto bytes = memory->item(item).value_or(std::vector<std::uint8_t>{});
        return {bytes.begin(), bytes.end()};
    }

    const SecretItemAddress item{"com.belvor.ravnix.pairings", "v1"};
    const std::shared_ptr<MemorySecretStore> memory = std::make_shared<MemorySecretStore>();
    PairingStore store{memory, item.service, item.account};
    std::vector<std::string> events;
};

TEST_F(PairingStoreTest, SavingReplacesTheHolderOfTheIdOrOfTheNumber) {
    EXPECT_TRUE(store.loadAll().empty());
    EXPECT_EQ(store.lastStatus(), SecretStatusCode::itemNotFound);
    EXPECT_EQ(store.lastErrorDescription(), std::nullopt) << "no item is not a failure";

    const auto first = testRecord("A", 1);
    const auto second = testRecord("B", 2);
    ASSERT_TRUE(store.save(first));
    ASSERT_TRUE(store.save(second));

    auto renewed = testRecord("A", 3); // same id, new number and key
    ASSERT_TRUE(store.save(renewed));
    EXPECT_EQ(store.loadAll(), (std::vector{second, renewed}));

    const auto taker = testRecord("C", 2); // new id, number of B
    ASSERT_TRUE(store.save(taker));
    EXPECT_EQ(store.loadAll(), (std::vector{renewed, taker}));

    EXPECT_EQ(store.record("A"), renewed);
    EXPECT_EQ(store.record(2u), taker);
    EXPECT_EQ(store.record("B"), std::nullopt);
    EXPECT_EQ(store.record(1u), std::nullopt);
    EXPECT_TRUE(events.empty());
}

TEST_F(PairingStoreTest, RemovingWritesTheRestAlsoWhenNothingMatches) {
    const auto first = testRecord("A", 1);
    const auto second = testRecord("B", 2);
    ASSERT_TRUE(store.save(first));
    ASSERT_TRUE(store.save(second));

    EXPECT_TRUE(store.remove("unknown"));
    EXPECT_EQ(store.loadAll(), (std::vector{first, second}));
    EXPECT_TRUE(store.remove("A"));
    EXPECT_EQ(store.loadAll(), (std::vector{second}));
    EXPECT_TRUE(store.remove("B"));
    EXPECT_EQ(stored(), "[]") << "the item stays, holding an empty list";
}

TEST_F(PairingStoreTest, StoredJSONHasTheFixedMembersAndLeavesAbsentOptionalsOut) {
    auto seen = testRecord("A", 1);
    seen.lastSeenAt = testDate(5000);
    seen.hosts = std::vector<std::string>{"192.168.1.20", "masa.local"};
    const auto plain = testRecord("B", 2);
    ASSERT_TRUE(store.save(seen));
    ASSERT_TRUE(store.save(plain));
    EXPECT_EQ(store.loadAll(), (std::vector{seen, plain}));

    const json list = json::parse(stored());
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1], (json{{"id", "B"},
                             {"displayName", "Telefon B"},
                             {"model", "iPhone15,2"},
                             {"keyMaterial", Base64::encode(plain.keyMaterial)},
                             {"pairingID", 2},
                             {"pairedAt", plain.pairedAt.secondsSinceReferenceDate}}));
    // Seconds since 2001-01-01 00:00:00 UTC: 2024-05-01 12:00:00.252 and 12:00:05.25.
    EXPECT_NEAR(list[1]["pairedAt"].get<double>(), 736257600.252, 1e-6);
    EXPECT_NEAR(list[0]["lastSeenAt"].get<double>(), 736257605.25, 1e-6);
    EXPECT_EQ(list[0]["hosts"], json({"192.168.1.20", "masa.local"}));
}

TEST_F(PairingStoreTest, DamagedItemsReadAsEmptyAreNeverOverwrittenAndAreDescribed) {
    std::mt19937 random(11);
    std::vector<std::uint8_t> binary(300);
    for (auto& b : binary) {
        b = static_cast<std::uint8_t>(random());
    }
    const auto valid = *encodePairingRecords(std::vector{testRecord("A", 1), testRecord("B", 2)});
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
    } damaged[] = {
        {"binary", binary},
        {"half a list", bytesOf(valid.substr(0, valid.size() / 2))},
        {"a record without members", bytesOf(R"([{"id": "A", "displayName": "Telefon A"}])")},
    };
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.name);
        memory->setItem(item, d.bytes);
        EXPECT_TRUE(store.loadAll().empty());
        EXPECT_EQ(store.lastStatus(), SecretStatusCode::corruptData);
        EXPECT_EQ(store.record("A"), std::nullopt);
        EXPECT_FALSE(store.save(testRecord("C", 3)));
        EXPECT_FALSE(store.remove("A"));
        EXPECT_EQ(bytesOf(stored()), d.bytes) << "damaged bytes were overwritten";
        // The refused writes need a reason the user can be shown.
        EXPECT_EQ(store.lastErrorDescription(), "Anahtarlıktaki veri çözülemedi");
        // Numbers stay free to choose: a damaged item must not stop pairing.
        EXPECT_TRUE(store.newPairingID());
    }
    EXPECT_TRUE(events.empty());
    // Once the item is readable again the store carries on from it.
    memory->setItem(item, bytesOf(valid));
    ASSERT_TRUE(store.save(testRecord("C", 3)));
    EXPECT_EQ(store.loadAll(),
              (std::vector{testRecord("A", 1), testRecord("B", 2), testRecord("C", 3)}));
    EXPECT_EQ(store.lastErrorDescription(), std::nullopt);
}

// The backend behind a service that fails every few calls, whichever thread makes them.
class FlakySecrets final : public SecretStore {
  public:
    explicit FlakySecrets(std::shared_ptr<SecretStore> inner) : inner(std::move(inner)) {}
    SecretReadResult read(const SecretItemAddress& address) override {
        return fails() ? SecretReadResult{SecretStatusCode::serviceUnavailable, {}}
                       : inner->read(address);
    }
    SecretStatus update(const SecretItemAddress& address,
                        std::span<const std::uint8_t> bytes) override {
        return fails() ? SecretStatusCode::serviceUnavailable : inner->update(address, bytes);
    }
    SecretStatus add(const SecretItemAddress& address, std::span<const std::uint8_t> bytes,
                     SecretAccessibility accessibility) override {
        return fails() ? SecretStatusCode::serviceUnavailable
                       : inner->add(address, bytes, accessibility);
    }
    std::string description() const override { return "flaky " + inner->description(); }

  private:
    bool fails() { return calls.fetch_add(1) % 7 == 3; }
    const std::shared_ptr<SecretStore> inner;
    std::atomic<std::uint64_t> calls{0};
};

TEST_F(PairingStoreTest, ConcurrentSavesKeepExactlyTheAcceptedOnesAlsoWhenCallsFail) {
    for (const bool isFlaky : {false, true}) {
        SCOPED_TRACE(isFlaky ? "failing calls" : "a working service");
        const SecretItemAddress address{item.service + (isFlaky ? ".flaky" : ""), item.account};
        const std::shared_ptr<SecretStore> secrets = memory;
        PairingStore shared(isFlaky ? std::make_shared<FlakySecrets>(memory) : secrets,
                            address.service, address.account);
        constexpr std::uint32_t threadCount = 4;
        constexpr std::uint32_t savesPerThread = 50;
        std::vector<char> answers(threadCount * savesPerThread + 1); // by pairing number
        std::vector<std::thread> threads;
        for (std::uint32_t t = 0; t < threadCount; ++t) {
            threads.emplace_back([&, t] {
                for (std::uint32_t n = t * savesPerThread + 1; n <= (t + 1) * savesPerThread; ++n) {
                    answers[n] = shared.save(testRecord("T" + std::to_string(n), n));
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        std::set<std::uint32_t> accepted;
        for (std::uint32_t n = 1; n < answers.size(); ++n) {
            if (answers[n]) {
                accepted.insert(n);
            }
        }
        std::set<std::uint32_t> kept;
        for (const auto& record :
             PairingStore(memory, address.service, address.account).loadAll()) {
            EXPECT_EQ(record, testRecord(record.id, record.pairingID));
            kept.insert(record.pairingID);
        }
        EXPECT_EQ(kept, accepted) << "a save answered true is lost, or one answered false kept";
        if (isFlaky) {
            EXPECT_GT(accepted.size(), 0u);
            EXPECT_LT(accepted.size(), std::size_t{threadCount * savesPerThread});
        } else {
            EXPECT_EQ(accepted.size(), std::size_t{threadCount * savesPerThread});
        }
    }
}

TEST_F(PairingStoreTest, ProbeReportsTheCheckAndTheRealCount) {
    ASSERT_TRUE(store.save(testRecord("A", 1)));
    ASSERT_TRUE(store.save(testRecord("B", 2)));
    store.probe();
    EXPECT_EQ(events, (std::vector<std::string>{
                          "keychain sinama: yazma=ok(0) okuma=1 kayit(0)",
                          "keychain gercek: 2 kayit (durum 0)",
                      }));
    // The check's record is gone again; the real records are untouched.
    EXPECT_EQ(memory->item({item.service + ".probe", "probe"}), bytesOf("[]"));
    EXPECT_EQ(store.loadAll().size(), 2u);
}

TEST_F(PairingStoreTest, FirstSaveUpdatesFindsNothingAndAddsPrivately) {
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

TEST_F(PairingStoreTest, AFailingReadLeavesTheStoredPairingsAlone) {
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

TEST_F(PairingStoreTest, WriteFailuresAnswerFalseAndOnlyAFailedAddIsAnEvent) {
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

TEST_F(PairingStoreTest, ProbeLinesCarryTheFailingStatuses) {
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

TEST_F(PairingStoreTest, NewPairingIDNeverGivesZeroOrAStoredNumber) {
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
