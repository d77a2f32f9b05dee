// The pairing store when the item is damaged or the secret service disappears in the middle
// of a run of saves: nothing stored may be lost, and a save that answers false must not have
// written anything.

#include "unit/pairing/PairingStoreSuite.hpp"

#include <atomic>
#include <random>
#include <set>
#include <thread>

namespace ravnix::test {
namespace {

using Operation = MemorySecretStore::Operation;

class PairingStoreFaultTest : public testing::Test {
  protected:
    std::optional<std::vector<std::uint8_t>> stored() const { return memory->item(item); }
    void serviceGone(std::initializer_list<Operation> operations) {
        for (const auto operation : operations) {
            memory->setFailure(operation, SecretStatusCode::serviceUnavailable);
        }
    }
    void serviceBack() {
        for (const auto operation : {Operation::read, Operation::update, Operation::add}) {
            memory->setFailure(operation, std::nullopt);
        }
    }

    const SecretItemAddress item{"com.belvor.ravnix.pairings", "v1"};
    const std::shared_ptr<MemorySecretStore> memory = std::make_shared<MemorySecretStore>();
    PairingStore store{memory, item.service, item.account};
};

TEST_F(PairingStoreFaultTest, DamagedItemsReadAsEmptyAreNeverOverwrittenAndAreDescribed) {
    std::mt19937 random(11);
    std::vector<std::uint8_t> binary(300);
    for (auto& b : binary) {
        b = static_cast<std::uint8_t>(random());
    }
    const auto valid = *encodePairingRecords(std::vector{testRecord("A", 1), testRecord("B", 2)});
    const std::string truncated = valid.substr(0, valid.size() / 2);
    std::string badKey = valid;
    badKey.replace(badKey.find("\"keyMaterial\":\"") + 15, 1, "*");
    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
    } damaged[] = {
        {"binary", binary},
        {"nothing", {}},
        {"half a list", bytesOf(truncated)},
        {"an object", bytesOf(R"({"id":"A"})")},
        {"a list of numbers", bytesOf("[1,2,3]")},
        {"key material that is not Base64", bytesOf(badKey)},
        {"invalid UTF-8", {'[', '"', 0xC3, 0x28, '"', ']'}},
    };
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.name);
        memory->setItem(item, d.bytes);
        EXPECT_TRUE(store.loadAll().empty());
        EXPECT_EQ(store.lastStatus(), SecretStatusCode::corruptData);
        EXPECT_EQ(store.record("A"), std::nullopt);
        EXPECT_FALSE(store.save(testRecord("C", 3)));
        EXPECT_FALSE(store.remove("A"));
        EXPECT_EQ(stored(), d.bytes) << "damaged bytes were overwritten";
        EXPECT_EQ(store.lastErrorDescription(), "Anahtarlıktaki veri çözülemedi");
        // Numbers stay free to choose: a damaged item must not stop pairing.
        EXPECT_TRUE(store.newPairingID());
    }
    // Once the item is readable again the store carries on from it.
    memory->setItem(item, bytesOf(valid));
    ASSERT_TRUE(store.save(testRecord("C", 3)));
    EXPECT_EQ(store.loadAll(),
              (std::vector{testRecord("A", 1), testRecord("B", 2), testRecord("C", 3)}));
    EXPECT_EQ(store.lastErrorDescription(), std::nullopt);
}

TEST_F(PairingStoreFaultTest, ServiceGoingAwayMidRunLosesNoSavedRecord) {
    // 400 steps of saves (new phones, renewed phones, taken-over numbers) and some removals;
    // from time to time the service goes away for a stretch, failing reads, updates, adds or
    // all three. A model of the records follows every answer of true.
    std::mt19937 random(2024);
    std::vector<PairingRecord> model;
    int succeeded = 0;
    int refused = 0;
    int outageSteps = 0;
    for (int step = 0; step < 400; ++step) {
        if (outageSteps == 0 && random() % 10 == 0) {
            outageSteps = 1 + static_cast<int>(random() % 8);
            switch (random() % 4) {
            case 0:
                serviceGone({Operation::read});
                break;
            case 1:
                serviceGone({Operation::update});
                break;
            case 2:
                serviceGone({Operation::update, Operation::add});
                break;
            default:
                serviceGone({Operation::read, Operation::update, Operation::add});
                break;
            }
        }
        const auto before = stored();
        bool answer = false;
        std::string what;
        if (!model.empty() && random() % 6 == 0) {
            const std::string id = model[random() % model.size()].id;
            what = "remove " + id;
            answer = store.remove(id);
            if (answer) {
                std::erase_if(model, [&](const PairingRecord& r) { return r.id == id; });
            }
        } else {
            // Ids and numbers from small ranges, so renewals and take-overs happen often.
            const auto record = testRecord("P" + std::to_string(random() % 30),
                                           1 + static_cast<std::uint32_t>(random() % 40));
            what = "save " + record.id + "/" + std::to_string(record.pairingID);
            answer = store.save(record);
            if (answer) {
                std::erase_if(model, [&](const PairingRecord& r) {
                    return r.id == record.id || r.pairingID == record.pairingID;
                });
                model.push_back(record);
            }
        }
        SCOPED_TRACE("step " + std::to_string(step) + ": " + what);
        if (answer) {
            ++succeeded;
            const auto now = stored();
            ASSERT_TRUE(now);
            EXPECT_EQ(decodePairingRecords(*now), model);
        } else {
            ++refused;
            ASSERT_GT(outageSteps, 0) << "refused with the service up";
            EXPECT_EQ(stored(), before) << "a refused write changed the item";
            EXPECT_EQ(store.lastErrorDescription(), "Gizli bilgi servisine ulaşılamadı");
        }
        if (outageSteps > 0 && --outageSteps == 0) {
            serviceBack();
            // Right after the service is back everything saved before is there.
            EXPECT_EQ(store.loadAll(), model);
        }
    }
    serviceBack();
    EXPECT_EQ(store.loadAll(), model);
    EXPECT_GT(succeeded, 100);
    EXPECT_GT(refused, 10) << "the run hardly met the outage";
}

TEST_F(PairingStoreFaultTest, ConcurrentSavesDuringFlappingServiceKeepExactlyTheAcceptedOnes) {
    // Four threads save distinct phones while a fifth turns the service off and on. Each save
    // answered true must be stored at the end, and each answered false must not be.
    constexpr int kThreads = 4;
    constexpr int kSavesPerThread = 100;
    std::atomic<bool> done{false};
    std::thread flapper([&] {
        std::mt19937 random(5);
        for (int i = 0; i < 100'000 && !done.load(); ++i) {
            const auto operation = static_cast<Operation>(random() % 3);
            memory->setFailure(operation, SecretStatusCode::serviceUnavailable);
            std::this_thread::sleep_for(std::chrono::microseconds(100 + random() % 400));
            serviceBack();
            std::this_thread::sleep_for(std::chrono::microseconds(100 + random() % 400));
        }
    });
    std::vector<std::vector<bool>> answers(kThreads, std::vector<bool>(kSavesPerThread));
    std::vector<std::thread> savers;
    for (int t = 0; t < kThreads; ++t) {
        savers.emplace_back([&, t] {
            for (int i = 0; i < kSavesPerThread; ++i) {
                const auto number = static_cast<std::uint32_t>(t * kSavesPerThread + i + 1);
                answers[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)] =
                    store.save(testRecord("T" + std::to_string(number), number));
                // Spread the saves over many outages.
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            }
        });
    }
    for (auto& saver : savers) {
        saver.join();
    }
    done = true;
    flapper.join();
    serviceBack();

    std::set<std::uint32_t> accepted;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kSavesPerThread; ++i) {
            if (answers[static_cast<std::size_t>(t)][static_cast<std::size_t>(i)]) {
                accepted.insert(static_cast<std::uint32_t>(t * kSavesPerThread + i + 1));
            }
        }
    }
    std::set<std::uint32_t> kept;
    for (const auto& record : store.loadAll()) {
        EXPECT_EQ(record, testRecord(record.id, record.pairingID));
        kept.insert(record.pairingID);
    }
    EXPECT_EQ(kept, accepted);
    EXPECT_GT(accepted.size(), 0u);
    EXPECT_LT(accepted.size(), static_cast<std::size_t>(kThreads * kSavesPerThread))
        << "the service never failed during the run";
}

} // namespace
} // namespace ravnix::test
