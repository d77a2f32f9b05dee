#include "app/MacModel.hpp"

#include "../platform/TemporaryFolder.hpp"
#include "platform/SystemSettings.hpp"
#include "support/ManualQueue.hpp"
#include "unit/link/LinkTestSupport.hpp"
#include "unit/pairing/PairingTestSupport.hpp"
#include "unit/ui/FakeEnvironment.hpp"

#include <gtest/gtest.h>
#include <regex>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

// The secret store's calls in order: its start-up check comes before the stored pairings
// are read.
struct JournalSecrets final : SecretStore {
    Events<std::string> journal;
    MemorySecretStore inner;
    SecretReadResult read(const SecretItemAddress& address) override {
        journal.add("read " + address.service);
        return inner.read(address);
    }
    SecretStatus update(const SecretItemAddress& address,
                        std::span<const std::uint8_t> bytes) override {
        return inner.update(address, bytes);
    }
    SecretStatus add(const SecretItemAddress& address, std::span<const std::uint8_t> bytes,
                     SecretAccessibility accessibility) override {
        journal.add("add " + address.service);
        return inner.add(address, bytes, accessibility);
    }
    std::string description() const override { return "journal"; }
};

// Keeps the request on screen and its decision for the test to give.
struct FakePairingWindow final : PairingWindowController {
    std::vector<PairingListener::Request> shown;
    Decision decision;
    int closed = 0;
    void show(const PairingListener::Request& request, Decision d) override {
        shown.push_back(request);
        decision = std::move(d);
    }
    void close() override {
        ++closed;
        decision = nullptr;
    }
    void answer(bool accepted) {
        auto taken = std::move(decision);
        decision = nullptr;
        taken(accepted);
    }
};

class MacModelTest : public ::testing::Test {
  protected:
    std::shared_ptr<ManualQueue> main = std::make_shared<ManualQueue>();
    std::shared_ptr<RecordingEventSystem> events = std::make_shared<RecordingEventSystem>();
    std::shared_ptr<MemoryPreferences> preferences = std::make_shared<MemoryPreferences>();
    std::shared_ptr<JournalSecrets> secrets = std::make_shared<JournalSecrets>();
    std::shared_ptr<FakeDnsSd> dnsSd = FakeDnsSd::create();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::shared_ptr<FakePairingWindow> window = std::make_shared<FakePairingWindow>();
    TemporaryFolder folder;
    HandClock clock;
    PairingListener::Options pairingOptions;

    std::shared_ptr<MacModel> makeModel() {
        auto environment = fakeEnvironment(folder.path(), main, events);
        environment.preferences = preferences;
        environment.secrets = secrets;
        environment.dnsSd = dnsSd;
        environment.workspace = workspace;
        environment.addresses = {"192.168.1.20", "10.0.0.2"};
        environment.macName = "Çalışma Masası";
        environment.pairingWindow = window;
        environment.clock = [this] { return clock.now.load(); };
        environment.pairingOptions = pairingOptions;
        auto made = MacModel::make(std::move(environment));
        EXPECT_TRUE(made) << (made ? "" : made.error().text());
        return made ? *made : nullptr;
    }

    // Runs the main queue until `done` holds (a bound of ten seconds, not a measurement).
    template <typename Predicate> bool spin(Predicate done) { return main->runUntil(done); }

    std::string logText() const { return test::logText(folder.path()); }
};

TEST_F(MacModelTest, StartUpChecksTheStoreFirstWithDefaultsAndKeepsTheIdentifier) {
    auto model = makeModel();
    ASSERT_TRUE(model);
    const auto calls = secrets->journal.snapshot();
    const auto read = std::ranges::find(calls, "read com.belvor.ravnix.pairings");
    ASSERT_NE(read, calls.end());
    EXPECT_NE(std::find(calls.begin(), read, "add com.belvor.ravnix.pairings.probe"), read);
    EXPECT_TRUE(model->isListening());
    EXPECT_NE(model->server()->boundPort(), 0);
    EXPECT_TRUE(model->isRecording());
    EXPECT_TRUE(model->interpreter()->diagnostics()->state().isRecording);
    EXPECT_TRUE(std::regex_match(
        model->macIdentifier(), std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-"
                                           "[0-9A-F]{12}")))
        << model->macIdentifier();
    // Both services are advertised under the host's name.
    EXPECT_TRUE(spin([&] { return dnsSd->advertised().size() == 2; }));
    for (const auto& service : dnsSd->advertised()) {
        EXPECT_EQ(service.name, "Çalışma Masası");
    }
    EXPECT_NE(logText().find("esler arasi dinleyici acildi (airdrop)"), std::string::npos);
    EXPECT_NE(logText().find("keychain sinama: yazma=ok(0)"), std::string::npos);

    const std::string identifier = model->macIdentifier();
    model.reset();
    auto second = makeModel();
    EXPECT_EQ(second->macIdentifier(), identifier);
}

TEST_F(MacModelTest, StoredSettingsOfTheWrongTypeCountAsAbsentAndTheSpeedApplies) {
    preferences->setValue("speedMultiplier", "1.7");
    preferences->setValue("motionRecording", false);
    preferences->setDomainValue(Preferences::globalDomain, "com.apple.trackpad.scaling", 3.0);
    auto model = makeModel();
    EXPECT_DOUBLE_EQ(model->injector()->pointsPerUnit(), 900.0);
    EXPECT_FALSE(model->isRecording());
    EXPECT_FALSE(model->interpreter()->diagnostics()->state().isRecording);
    EXPECT_DOUBLE_EQ(model->systemScale(), 3.0);
    EXPECT_DOUBLE_EQ(model->injector()->settings().trackingScale, 3.0);

    model->setSpeedMultiplier(1.5);
    EXPECT_DOUBLE_EQ(model->injector()->pointsPerUnit(), 1350.0);
    EXPECT_EQ(preferences->doubleValue("speedMultiplier"), 1.5);
    EXPECT_DOUBLE_EQ(model->injector()->settings().trackingScale, 3.0);

    // The desktop's trackpad setting as a tracking scale.
    MemoryPreferences scaling;
    EXPECT_DOUBLE_EQ(readSystemScale(scaling), 1.0);
    for (const auto& [stored, scale] :
         std::vector<std::pair<double, double>>{{0.6875, 1.0}, {3.0, 3.0}, {0.1, 0.25}}) {
        scaling.setDomainValue(Preferences::globalDomain, "com.apple.trackpad.scaling", stored);
        EXPECT_DOUBLE_EQ(readSystemScale(scaling), scale) << stored;
    }
}

TEST_F(MacModelTest, StatusFollowsItsPrecedenceAndTheLinkAge) {
    auto model = makeModel();
    std::vector<MacModel::Field> told;
    model->subscribe([&](MacModel::Field field) { told.push_back(field); });

    LinkServer::Stats stats;
    stats.lastPacketAgoSeconds = 1.9;
    stats.isPeerRoute = true;
    model->receiveStats(stats);
    EXPECT_EQ(model->statusText(), "Kullanılıyor · AirDrop");
    EXPECT_EQ(model->menuBarSymbol(), "rectangle.and.hand.point.up.left.fill");
    stats.isPeerRoute = false;
    model->receiveStats(stats);
    EXPECT_EQ(model->statusText(), "Kullanılıyor · Wi-Fi");
    stats.lastPacketAgoSeconds = 2.0;
    model->receiveStats(stats);
    EXPECT_EQ(model->statusText(), "Hazır");
    EXPECT_EQ(model->menuBarSymbol(), "rectangle.dashed");
    // Equal statistics still notify: the menu's "ago" figures move on.
    EXPECT_EQ(std::count(told.begin(), told.end(), MacModel::Field::stats), 3);

    stats.lastPacketAgoSeconds = 0.5;
    stats.versionMismatches = 1;
    model->receiveStats(stats);
    EXPECT_EQ(model->statusText(), "Protokol sürümü uyuşmuyor — iPhone uygulamasını güncelle");

    // Withdrawn permission beats everything; the poll sees it at its next second.
    events->setTrusted(false);
    main->advance(999ms);
    EXPECT_TRUE(model->isTrusted());
    main->advance(1ms);
    EXPECT_FALSE(model->isTrusted());
    EXPECT_EQ(model->statusText(), "Erişilebilirlik izni gerekiyor");
    EXPECT_EQ(model->menuBarSymbol(), "exclamationmark.triangle");
    EXPECT_NE(std::find(told.begin(), told.end(), MacModel::Field::isTrusted), told.end());
}

TEST_F(MacModelTest, ADnsSdDaemonAwayIsShownAndLoggedUntilItIsBack) {
    auto model = makeModel();
    const NetworkError gone{"avahi_client_new", -23, "Daemon connection failed"};
    dnsSd->setAvailability({false, gone});
    ASSERT_TRUE(spin([&] { return model->errorText().has_value(); }));
    EXPECT_EQ(model->errorText(), "Eşleştirme duyurulamıyor: " + gone.text());
    dnsSd->setAvailability({true, std::nullopt});
    ASSERT_TRUE(spin([&] { return !model->errorText(); }));
    EXPECT_NE(logText().find("dns-sd ulasilamiyor: " + gone.text()), std::string::npos);
    EXPECT_NE(logText().find("dns-sd yeniden ulasilabilir"), std::string::npos);
}

TEST_F(MacModelTest, AcceptedPairingIsStoredAndItsKeyAuthenticatesFrames) {
    auto model = makeModel();
    const auto request = pairingRequest("Ayşe'nin iPhone'u");
    model->presentPairingRequest(request);
    ASSERT_EQ(window->shown.size(), 1u);
    EXPECT_EQ(model->pendingRequest(), request);
    window->answer(true);

    EXPECT_FALSE(model->pendingRequest());
    ASSERT_EQ(model->pairedDevices().size(), 1u);
    const auto& record = model->pairedDevices().front();
    EXPECT_EQ(record.id, request.hello.deviceID);
    EXPECT_EQ(record.model, "iPhone15,2");
    EXPECT_FALSE(record.hosts);
    const auto material = request.outcome.key.material();
    EXPECT_TRUE(std::equal(material.begin(), material.end(), record.keyMaterial.begin(),
                           record.keyMaterial.end()));
    EXPECT_TRUE(std::regex_search(
        logText(),
        std::regex("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} eslestirme kabul: Ayşe'nin iPhone'u id=" +
                   std::to_string(record.pairingID) + " kayit=ok toplam=1\n")));
}

TEST_F(MacModelTest, UnpairSaysGoodbyeAndTheNoticeLastsUntilPacketsFlowAgain) {
    auto model = makeModel();
    model->presentPairingRequest(pairingRequest("Deniz"));
    window->answer(true);
    model->presentPairingRequest(pairingRequest("Ece", "0E7C1A44-2B7D-4E8F-A1C3-9D5E6F708192"));
    window->answer(true);
    ASSERT_EQ(model->pairedDevices().size(), 2u);
    EXPECT_EQ(model->pairedDevices().front().displayName, "Ece"); // newest first

    model->unpair(model->pairedDevices().back());
    ASSERT_EQ(model->pairedDevices().size(), 1u);
    EXPECT_EQ(model->headerText(), "Deniz kaldırıldı");

    LinkServer::Stats stats;
    stats.lastPacketAgoSeconds = 0.3;
    model->receiveStats(stats); // active, but no new frame since the notice
    EXPECT_EQ(model->headerText(), "Deniz kaldırıldı");
    stats.touchPackets = 5;
    model->receiveStats(stats);
    EXPECT_EQ(model->headerText(), "Kullanılıyor · Wi-Fi");
}

TEST_F(MacModelTest, RecordingToggleIsPersistedAndTheFolderRevealsTheMotionFile) {
    auto model = makeModel();
    model->toggleRecording();
    EXPECT_FALSE(model->isRecording());
    EXPECT_FALSE(model->interpreter()->diagnostics()->state().isRecording);
    EXPECT_EQ(preferences->boolValue("motionRecording"), false);
    model->toggleRecording();
    EXPECT_TRUE(model->interpreter()->diagnostics()->state().isRecording);
    EXPECT_EQ(preferences->boolValue("motionRecording"), true);

    model->openLogFolder();
    ASSERT_EQ(workspace->calls().size(), 1u);
    EXPECT_EQ(workspace->calls()[0].target, (folder.path() / "hareket.csv").string());
}

// The whole exchange with a phone over the in-process DNS-SD, through the real listener.
class MacModelPairingTest : public MacModelTest {
  protected:
    std::shared_ptr<PairingBrowser> browser = PairingBrowser::make(dnsSd).value();
    Events<Step> steps;

    void SetUp() override {
        browser->setOnStep([this](const Step& step) { steps.add(step); });
    }

    // Starts pairing with the model's listener and waits for its request on screen.
    bool phoneAsks(MacModel& model) {
        PairingBrowser::DiscoveredMac mac{"", model.macName(), 9931,
                                          HostEndpoint{"127.0.0.1", model.listener()->port()}};
        browser->pair(mac, {"5B1C3B8E-0F7A-4C1B-9E2D-7A6F4C3B2A10", "Ayşe", "iPhone15,2"});
        return spin([&] { return window->decision != nullptr; });
    }
};

TEST_F(MacModelPairingTest, PhoneIsToldTheStoredPairingNumber) {
    auto model = makeModel();
    ASSERT_TRUE(phoneAsks(*model));
    browser->confirm(true);
    ASSERT_TRUE(
        spin([&] { return model->pendingRequest() && model->pendingRequest()->phoneAccepted; }));
    window->answer(true);
    ASSERT_TRUE(waitForStep<Step::Accepted>(steps));
    const auto accepted = *stepAs<Step::Accepted>(steps.snapshot());
    ASSERT_EQ(model->pairedDevices().size(), 1u);
    EXPECT_EQ(accepted.pairingID, model->pairedDevices()[0].pairingID);
    EXPECT_EQ(accepted.key, model->pairedDevices()[0].keyMaterial);
    EXPECT_EQ(accepted.macIdentifier, model->macIdentifier());
    const auto code = *stepAs<Step::Code>(steps.snapshot());
    EXPECT_NE(logText().find("eslestirme istegi: Ayşe kod=" + code.code + " telefonOnayi=false\n"),
              std::string::npos);
    EXPECT_NE(logText().find("eslestirme istegi: Ayşe kod=" + code.code + " telefonOnayi=true\n"),
              std::string::npos);
}

TEST_F(MacModelPairingTest, AnAnswerGivenBeforeThePhonesOwnIsTheOnlyOne) {
    HandScheduler closing; // the listener's close after its result waits for the test
    pairingOptions.scheduler = closing.scheduler();
    auto model = makeModel();
    auto queue = makeQueue();
    Phone phone(*queue, model->listener()->port());
    phone.send({phone.hello()});
    ASSERT_TRUE(spin([&] { return window->decision != nullptr; }));
    window->answer(true);
    ASSERT_TRUE(phone.waitForMessages(2));
    const auto results = resultsIn(phone.messages());
    ASSERT_EQ(results.size(), 1u);
    ASSERT_TRUE(results[0].accepted && results[0].pairingID);
    // The phone's own "yes" comes after the desktop's; its end of the stream follows it.
    phone.sendAndLeave(makePhoneDecision({true, std::nullopt}));
    ASSERT_TRUE(spin([&] { return window->closed > 0; }));
    EXPECT_EQ(window->shown.size(), 1u) << "the answered exchange was shown again";

    // The same request on its way before the listener knew of the answer: neither shown nor
    // stored again.
    auto late = window->shown[0];
    late.phoneAccepted = true;
    model->presentPairingRequest(late);
    model->resolvePairing(true, late);
    EXPECT_EQ(window->shown.size(), 1u);
    ASSERT_EQ(model->pairedDevices().size(), 1u);
    EXPECT_EQ(model->pairedDevices()[0].pairingID, *results[0].pairingID);

    // The phone's frames, signed with its key and the number it was told, are taken.
    const auto outcome = phone.outcome();
    ASSERT_TRUE(outcome);
    LoopbackPhone udp(model->server()->boundPort());
    const PhoneSide side{*results[0].pairingID,
                         PacketAuthenticator(outcome->key.material(), *results[0].pairingID)};
    std::array<std::uint8_t, 112> frame{};
    udp.send(std::span(frame).first(side.touch(frame, 1)));
    udp.sync();
    EXPECT_EQ(model->server()->stats().touchPackets, 1u);
    EXPECT_EQ(model->server()->stats().rejectedPackets, 0u);
}

TEST_F(MacModelPairingTest, SaveFailureRefusesThePhoneAndShowsTheProblem) {
    auto model = makeModel();
    secrets->inner.setFailure(MemorySecretStore::Operation::add, SecretStatusCode::locked);
    secrets->inner.setFailure(MemorySecretStore::Operation::update, SecretStatusCode::locked);
    ASSERT_TRUE(phoneAsks(*model));
    window->answer(true);
    ASSERT_TRUE(waitForStep<Step::Rejected>(steps));
    EXPECT_TRUE(model->pairedDevices().empty());
    ASSERT_TRUE(model->storageProblem());
    EXPECT_NE(logText().find("kayit=HATA toplam=0"), std::string::npos);
}

TEST_F(MacModelPairingTest, RefusalAndPhoneCancellation) {
    auto model = makeModel();
    ASSERT_TRUE(phoneAsks(*model));
    window->answer(false);
    ASSERT_TRUE(waitForStep<Step::Rejected>(steps));
    EXPECT_NE(logText().find("eslestirme reddedildi (mac)"), std::string::npos);

    ASSERT_TRUE(phoneAsks(*model));
    ASSERT_TRUE(model->pendingRequest());
    // The user's "yes" that was already on its way when the phone said no.
    const auto lateAnswer = window->decision;
    browser->confirm(false);
    ASSERT_TRUE(spin([&] { return !model->pendingRequest() && window->closed > 0; }));
    EXPECT_NE(logText().find("eslestirme dustu"), std::string::npos);
    lateAnswer(true);
    EXPECT_TRUE(model->pairedDevices().empty());
    EXPECT_NE(logText().find("eslestirme karari gec geldi: Ayşe"), std::string::npos);
}

} // namespace
} // namespace ravnix::test
