#include "unit/pairing/PairingStoreSuite.hpp"

#include "pairing/Base64.hpp"

#include <atomic>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <thread>

namespace ravnix::test {
namespace {

using nlohmann::json;

TEST_P(PairingStoreSuite, SavingReplacesTheHolderOfTheIdOrOfTheNumber) {
    EXPECT_TRUE(store->loadAll().empty());
    EXPECT_EQ(store->lastStatus(), SecretStatusCode::itemNotFound);
    EXPECT_EQ(store->lastErrorDescription(), std::nullopt) << "no item is not a failure";

    const auto first = testRecord("A", 1);
    const auto second = testRecord("B", 2);
    ASSERT_TRUE(store->save(first));
    ASSERT_TRUE(store->save(second));

    auto renewed = testRecord("A", 3); // same id, new number and key
    ASSERT_TRUE(store->save(renewed));
    EXPECT_EQ(store->loadAll(), (std::vector{second, renewed}));

    const auto taker = testRecord("C", 2); // new id, number of B
    ASSERT_TRUE(store->save(taker));
    EXPECT_EQ(store->loadAll(), (std::vector{renewed, taker}));

    EXPECT_EQ(store->record("A"), renewed);
    EXPECT_EQ(store->record(2u), taker);
    EXPECT_EQ(store->record("B"), std::nullopt);
    EXPECT_EQ(store->record(1u), std::nullopt);
    EXPECT_TRUE(eventLines().empty());
}

TEST_P(PairingStoreSuite, RemovingWritesTheRestAlsoWhenNothingMatches) {
    const auto first = testRecord("A", 1);
    const auto second = testRecord("B", 2);
    ASSERT_TRUE(store->save(first));
    ASSERT_TRUE(store->save(second));

    EXPECT_TRUE(store->remove("unknown"));
    EXPECT_EQ(store->loadAll(), (std::vector{first, second}));
    EXPECT_TRUE(store->remove("A"));
    EXPECT_EQ(store->loadAll(), (std::vector{second}));
    EXPECT_TRUE(store->remove("B"));
    EXPECT_EQ(stored(), "[]") << "the item stays, holding an empty list";
}

TEST_P(PairingStoreSuite, StoredJSONHasTheFixedMembersAndLeavesAbsentOptionalsOut) {
    auto seen = testRecord("A", 1);
    seen.lastSeenAt = testDate(5000);
    seen.hosts = std::vector<std::string>{"192.168.1.20", "masa.local"};
    const auto plain = testRecord("B", 2);
    ASSERT_TRUE(store->save(seen));
    ASSERT_TRUE(store->save(plain));
    EXPECT_EQ(store->loadAll(), (std::vector{seen, plain}));

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

TEST_P(PairingStoreSuite, DamagedItemsReadAsEmptyAreNeverOverwrittenAndAreDescribed) {
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
    const auto secrets = backend->store();
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.name);
        if (secrets->update(item, d.bytes) == SecretStatusCode::itemNotFound) {
            ASSERT_EQ(
                secrets->add(item, d.bytes, SecretAccessibility::afterFirstUnlockThisDeviceOnly),
                SecretStatusCode::success);
        }
        EXPECT_TRUE(store->loadAll().empty());
        EXPECT_EQ(store->lastStatus(), SecretStatusCode::corruptData);
        EXPECT_EQ(store->record("A"), std::nullopt);
        EXPECT_FALSE(store->save(testRecord("C", 3)));
        EXPECT_FALSE(store->remove("A"));
        EXPECT_EQ(bytesOf(stored()), d.bytes) << "damaged bytes were overwritten";
        // The refused writes need a reason the user can be shown.
        EXPECT_EQ(store->lastErrorDescription(), "Anahtarlıktaki veri çözülemedi");
        // Numbers stay free to choose: a damaged item must not stop pairing.
        EXPECT_TRUE(store->newPairingID());
    }
    EXPECT_TRUE(eventLines().empty());
    // Once the item is readable again the store carries on from it.
    ASSERT_EQ(secrets->update(item, bytesOf(valid)), SecretStatusCode::success);
    ASSERT_TRUE(store->save(testRecord("C", 3)));
    EXPECT_EQ(store->loadAll(),
              (std::vector{testRecord("A", 1), testRecord("B", 2), testRecord("C", 3)}));
    EXPECT_EQ(store->lastErrorDescription(), std::nullopt);
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

TEST_P(PairingStoreSuite, ConcurrentSavesKeepExactlyTheAcceptedOnesAlsoWhenCallsFail) {
    for (const bool isFlaky : {false, true}) {
        SCOPED_TRACE(isFlaky ? "failing calls" : "a working service");
        const SecretItemAddress address{item.service + (isFlaky ? ".flaky" : ""), item.account};
        PairingStore shared(isFlaky ? std::make_shared<FlakySecrets>(backend->store())
                                    : backend->store(),
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
             PairingStore(backend->store(), address.service, address.account).loadAll()) {
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

TEST_P(PairingStoreSuite, ProbeReportsTheCheckAndTheRealCount) {
    ASSERT_TRUE(store->save(testRecord("A", 1)));
    ASSERT_TRUE(store->save(testRecord("B", 2)));
    store->probe();
    EXPECT_EQ(eventLines(), (std::vector<std::string>{
                                "keychain sinama: yazma=ok(0) okuma=1 kayit(0)",
                                "keychain gercek: 2 kayit (durum 0)",
                            }));
    // The check's record is gone again; the real records are untouched.
    const auto probeItem = backend->store()->read({item.service + ".probe", "probe"});
    EXPECT_EQ(probeItem.bytes, bytesOf("[]"));
    EXPECT_EQ(store->loadAll().size(), 2u);
}

} // namespace
} // namespace ravnix::test
