#include "unit/pairing/PairingStoreSuite.hpp"

#include "pairing/Base64.hpp"

#include <nlohmann/json.hpp>
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

TEST_P(PairingStoreSuite, ACorruptItemReadsAsEmptyAndIsNeverOverwritten) {
    const std::string corrupt = R"([{"id": "A", "displayName": "Telefon A"}])";
    ASSERT_EQ(backend->store()->add(item, bytesOf(corrupt),
                                    SecretAccessibility::afterFirstUnlockThisDeviceOnly),
              SecretStatusCode::success);

    EXPECT_TRUE(store->loadAll().empty());
    EXPECT_FALSE(store->save(testRecord("B", 2)));
    EXPECT_FALSE(store->remove("A"));
    EXPECT_EQ(stored(), corrupt);
    EXPECT_TRUE(eventLines().empty());
    // The refused writes need a reason the user can be shown.
    EXPECT_EQ(store->lastErrorDescription(), "Anahtarlıktaki veri çözülemedi");
}

TEST_P(PairingStoreSuite, ConcurrentSavesLoseNothing) {
    constexpr int threadCount = 8;
    constexpr int savesPerThread = 50;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < savesPerThread; ++i) {
                const auto number = static_cast<std::uint32_t>(t * savesPerThread + i + 1);
                if (!store->save(testRecord("T" + std::to_string(number), number))) {
                    ++failures;
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    std::set<std::uint32_t> numbers;
    for (const auto& record : store->loadAll()) {
        EXPECT_EQ(record.id, "T" + std::to_string(record.pairingID));
        numbers.insert(record.pairingID);
    }
    EXPECT_EQ(numbers.size(), static_cast<std::size_t>(threadCount * savesPerThread));
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
