// The terminal shell over a real model made of in-memory services: what it prints, and what
// the typed commands do to the model.

#include "cli/HeadlessShell.hpp"

#include "app/MacModel.hpp"
#include "platform/AsioMainQueue.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "support/DecimalCommaLocale.hpp"
#include "unit/ui/FakeEnvironment.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>
#include <vector>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

PairingListener::Request makeRequest(std::string deviceID, std::string name, std::string model,
                                     std::string code, bool phoneAccepted) {
    return {PairingHello{std::move(deviceID), std::move(name), std::move(model),
                         std::vector<std::uint8_t>(32, 0x11)},
            code, PairingOutcome{*PairingKey::make(std::vector<std::uint8_t>(32, 0x5A)), code},
            phoneAccepted};
}

class ShellFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ravnix-shell-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        output = open_memstream(&buffer, &bufferSize);
        ASSERT_NE(output, nullptr);
        queue = std::make_shared<AsioMainQueue>();
        if (!events) {
            events = std::make_shared<RecordingEventSystem>();
        }
        events->setTrusted(startTrusted);
        preferences = std::make_shared<MemoryPreferences>();

        HeadlessShell::Options options;
        options.output = output;
        options.mainQueue = queue;
        options.quit = [this] {
            ++quits;
            queue->stop(); // as the program does
        };
        options.permissionHint = "X11 oturumunda başlatın";
        options.eventsDescription = eventsDescription;
        options.requestPermission = requestPermission;
        options.doctor = doctor;
        shell = HeadlessShell::make(std::move(options));

        auto environment = fakeEnvironment(folder, queue, events);
        environment.preferences = preferences;
        environment.macName = "Masa";
        environment.onboarding = shell->onboardingWindow();
        environment.pairingWindow = shell->pairingWindow();
        environment.guide = shell->guideWindow();
        auto made = MacModel::make(std::move(environment));
        ASSERT_TRUE(made) << made.error().text();
        model = *made;
        shell->attach(model);
        settle();
    }

    void TearDown() override {
        if (shell) {
            shell->stopReading();
            shell->detach();
        }
        if (model) {
            model->shutdown();
        }
        model.reset();
        shell.reset();
        queue.reset();
        if (output != nullptr) {
            std::fclose(output);
        }
        std::free(buffer);
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    template <typename Predicate> bool runUntil(Predicate done) {
        return test::runUntil(*queue, done);
    }
    // Lets the start-up's queued work (advertisement answers) run.
    void settle() { queue->runFor(50ms); }

    // Whether `text` was printed at all so far.
    bool hasPrinted(std::string_view text) {
        std::fflush(output);
        return std::string_view(buffer, bufferSize).find(text) != std::string_view::npos;
    }
    // What was printed since the last call.
    std::string takeOutput() {
        std::fflush(output);
        std::string all(buffer, bufferSize);
        std::string fresh = all.substr(taken);
        taken = all.size();
        return fresh;
    }
    std::string type(std::string_view line) {
        takeOutput();
        shell->handleLine(line);
        return takeOutput();
    }

    bool startTrusted = true;
    std::string eventsDescription;
    std::function<void()> requestPermission;
    std::function<std::function<std::vector<DoctorCheck>()>()> doctor;
    std::filesystem::path folder;
    FILE* output = nullptr;
    char* buffer = nullptr;
    std::size_t bufferSize = 0;
    std::size_t taken = 0;
    std::shared_ptr<AsioMainQueue> queue;
    std::shared_ptr<RecordingEventSystem> events;
    std::shared_ptr<MemoryPreferences> preferences;
    std::shared_ptr<HeadlessShell> shell;
    std::shared_ptr<MacModel> model;
    int quits = 0;
};

using HeadlessShellTest = ShellFixture;

TEST_F(HeadlessShellTest, PrintsTheRequestAndANewerOneTakesItsPlace) {
    takeOutput();
    model->presentPairingRequest(
        makeRequest("dev-1", "Ayşe'nin iPhone'u", "iPhone15,2", "012345", false));
    EXPECT_EQ(takeOutput(), "Bu iPhone eşleşmek istiyor\n"
                            "Ayşe'nin iPhone'u · iPhone15,2\n"
                            "012 345\n"
                            "iPhone'unda görünen sayı bu mu?\n"
                            "iPhone'daki onay bekleniyor\n"
                            "Evet, eşleştir? (evet/hayır): ");

    model->presentPairingRequest(makeRequest("dev-2", "Ali", "iPhone14,5", "12345", true));
    EXPECT_EQ(takeOutput(), "\n"
                            "Bu iPhone eşleşmek istiyor\n"
                            "Ali · iPhone14,5\n"
                            "12345\n"
                            "iPhone'unda görünen sayı bu mu?\n"
                            "iPhone onayladı, sıra sende\n"
                            "Evet, eşleştir? (evet/hayır): ");

    // The answer goes to the newer request only; the replaced one's decision is never called.
    ASSERT_TRUE(model->pendingRequest());
    EXPECT_EQ(model->pendingRequest()->hello.deviceID, "dev-2");
    shell->handleLine("  EVET ");
    ASSERT_EQ(model->pairedDevices().size(), 1u);
    EXPECT_EQ(model->pairedDevices()[0].id, "dev-2");
    EXPECT_FALSE(model->pendingRequest());
    EXPECT_EQ(type("e"), "bekleyen eşleştirme isteği yok\n");
    EXPECT_EQ(model->pairedDevices().size(), 1u);
}

TEST_F(HeadlessShellTest, AcceptedDeviceIsListedAndRemovedByNumber) {
    EXPECT_EQ(type("cihazlar"), "eşleşmiş cihaz yok\n");
    model->presentPairingRequest(
        makeRequest("dev-1", "Ayşe'nin iPhone'u", "iPhone15,2", "012345", false));
    shell->handleLine("evet");
    ASSERT_EQ(model->pairedDevices().size(), 1u);
    const auto pairingID = model->pairedDevices()[0].pairingID;
    EXPECT_EQ(type("cihazlar"),
              "1. Ayşe'nin iPhone'u · iPhone15,2 · id=" + std::to_string(pairingID) + "\n");

    for (const char* bad : {"kaldir 2", "kaldir 0", "kaldir 1x"}) {
        EXPECT_EQ(type(bad).rfind("geçersiz cihaz numarası", 0), 0u) << bad;
    }
    EXPECT_EQ(model->pairedDevices().size(), 1u);

    // The removal changes the header to the model's notice: one status line, nothing repeated.
    const std::string removed = type("kaldır 1");
    EXPECT_TRUE(model->pairedDevices().empty());
    EXPECT_NE(removed.find("durum: " + model->headerText() + "\n"), std::string::npos) << removed;
    EXPECT_EQ(removed.find("durum: "), removed.rfind("durum: ")) << removed;
    EXPECT_EQ(type("cihazlar"), "eşleşmiş cihaz yok\n");
}

TEST_F(HeadlessShellTest, RefusalPairsNothing) {
    model->presentPairingRequest(makeRequest("dev-1", "Ali", "iPhone14,5", "123456", true));
    EXPECT_EQ(type("hayır"), "eşleştirme reddedildi\n");
    EXPECT_FALSE(model->pendingRequest());
    EXPECT_TRUE(model->pairedDevices().empty());

    // Words other than the answers decide nothing.
    model->presentPairingRequest(makeRequest("dev-2", "Ali", "iPhone14,5", "123456", true));
    EXPECT_EQ(type("evetmi").rfind("bilinmeyen komut: evetmi", 0), 0u);
    EXPECT_TRUE(model->pendingRequest());
    shell->handleLine("N");
    EXPECT_FALSE(model->pendingRequest());
    EXPECT_TRUE(model->pairedDevices().empty());
}

TEST_F(HeadlessShellTest, WithoutInputEveryRequestIsRefused) {
    model->presentPairingRequest(makeRequest("dev-1", "Ali", "iPhone14,5", "123456", false));
    takeOutput();
    shell->inputEnded();
    // The request on screen can no longer be answered either.
    EXPECT_EQ(takeOutput(), "\ngiriş bitti: bundan sonraki eşleştirme istekleri reddedilecek\n"
                            "giriş yok: eşleştirme isteği reddedildi\n");
    EXPECT_FALSE(model->pendingRequest());

    model->presentPairingRequest(makeRequest("dev-2", "Ayşe", "iPhone15,2", "654321", true));
    ASSERT_TRUE(runUntil([&] { return !model->pendingRequest(); }));
    EXPECT_EQ(takeOutput(), "Bu iPhone eşleşmek istiyor\n"
                            "Ayşe · iPhone15,2\n"
                            "654 321\n"
                            "giriş yok: eşleştirme isteği reddedildi\n");
    EXPECT_TRUE(model->pairedDevices().empty());
}

TEST_F(HeadlessShellTest, SpeedIsReadWithAFullStopInADecimalCommaLocale) {
    DecimalCommaLocale locale;
    if (!locale.isActive()) {
        GTEST_SKIP() << "no decimal-comma locale could be set up (tr_TR.UTF-8, localedef)";
    }
    EXPECT_EQ(type("hiz 1.5"), "İmleç hızı: 1.50×\n");
    EXPECT_DOUBLE_EQ(model->speedMultiplier(), 1.5);
    EXPECT_EQ(preferences->doubleValue("speedMultiplier"), 1.5);

    for (const char* bad : {"hiz 1,5", "hiz 2.6", "hiz 0.2", "hiz", "hiz nan", "hiz 1.5x"}) {
        EXPECT_EQ(type(bad), "imleç hızı 0.25 ile 2.50 arasında bir sayı olmalı (ör. hiz 1.5)\n")
            << bad;
    }
    EXPECT_DOUBLE_EQ(model->speedMultiplier(), 1.5);
    EXPECT_EQ(type("HIZ 2.5"), "İmleç hızı: 2.50×\n");
}

TEST_F(HeadlessShellTest, SmallCommands) {
    EXPECT_EQ(type("durum"), "durum: " + model->headerText() + "\n");
    EXPECT_EQ(type("   "), "");

    const bool recording = model->isRecording();
    EXPECT_EQ(type("kayit"), recording ? "Hareket kaydı: kapalı\n" : "Hareket kaydı: açık\n");
    EXPECT_NE(model->isRecording(), recording);
    EXPECT_EQ(type("kayıt"), recording ? "Hareket kaydı: açık\n" : "Hareket kaydı: kapalı\n");
    EXPECT_EQ(model->isRecording(), recording);

    // Neither asks a missing callback.
    EXPECT_EQ(type("izin"), "bu olay sistemi izin istemiyor\n");
    EXPECT_EQ(type("doktor"), "bağlantı denetimi bu kabukta yok\n");

    EXPECT_EQ(quits, 0);
    type("çık");
    EXPECT_EQ(quits, 1);
}

class UntrustedShellTest : public ShellFixture {
  protected:
    void SetUp() override {
        startTrusted = false;
        ShellFixture::SetUp();
    }
};

TEST_F(UntrustedShellTest, PermissionIsExplainedOnceAndTheHeaderFollowsIt) {
    const std::string start = takeOutput();
    EXPECT_EQ(start.find("durum: " + model->headerText() + "\n"), 0u) << start;
    const std::string hint = "Giriş olayları için izin gerekiyor: X11 oturumunda başlatın\n";
    EXPECT_NE(start.find(hint), std::string::npos) << start;
    model->onboarding()->show();
    EXPECT_EQ(takeOutput(), "");

    const std::string untrustedHeader = model->headerText();
    events->setTrusted(true);
    ASSERT_TRUE(runUntil([&] { return model->isTrusted(); }));
    ASSERT_NE(model->headerText(), untrustedHeader);
    EXPECT_EQ(takeOutput(), "durum: " + model->headerText() + "\n");

    model->guide()->show();
    EXPECT_NE(takeOutput().find("Hareket rehberi"), std::string::npos);
}

// The terminal over the portal: its reason instead of the fixed hint, `izin`, `doktor`.
class PortalShellTest : public ShellFixture {
  protected:
    void SetUp() override {
        startTrusted = false;
        auto explained = std::make_shared<ExplainedEvents>();
        explained->reason = "kullanici uzaktan denetime izin vermedi (Start)";
        events = explained;
        eventsDescription = "portal — Wayland oturumu";
        requestPermission = [this] { ++requests; };
        doctor = [this] {
            ++doctorsMade;
            return std::function<std::vector<DoctorCheck>()>([released = released, this] {
                released.wait();
                return checks;
            });
        };
        ShellFixture::SetUp();
    }
    void TearDown() override {
        if (!isReleased) {
            release.set_value(); // a run still waiting ends before the shell joins it
        }
        ShellFixture::TearDown();
    }

    int requests = 0;
    int doctorsMade = 0;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool isReleased = false;
    const std::vector<DoctorCheck> checks = {
        {"avahi", true, "avahi-daemon yanıt veriyor", ""},
        {"ping", false, "127.0.0.1:9931 ping'e yanıt vermedi (zaman aşımı)", "ravnix'i başlatın"},
    };
};

TEST_F(PortalShellTest, TheReasonReplacesTheHintAndIzinAsksTheDesktop) {
    const std::string start = takeOutput();
    const std::string reason = "kullanici uzaktan denetime izin vermedi (Start)";
    EXPECT_NE(start.find("durum: " + reason + "\n"), std::string::npos) << start;
    EXPECT_NE(start.find("Giriş olayları için izin gerekiyor: " + reason + "\n"), std::string::npos)
        << start;
    EXPECT_EQ(start.find("X11 oturumunda"), std::string::npos) << start;
    EXPECT_NE(start.find("izni masaüstünden yeniden istemek için: izin"), std::string::npos);
    EXPECT_EQ(type("durum"), "durum: " + reason + "\nolay sistemi: portal — Wayland oturumu\n");

    EXPECT_EQ(type("izin"), "izin isteniyor: masaüstünün sorusunu yanıtlayın\n");
    EXPECT_EQ(requests, 1);
    // The poll never asks by itself.
    queue->runFor(1500ms);
    EXPECT_EQ(requests, 1);
    // A new reason shows at the next poll, though trust did not change.
    static_cast<ExplainedEvents&>(*events).reason = "masaustu oturumu kapatti";
    ASSERT_TRUE(runUntil([&] { return hasPrinted("durum: masaustu oturumu kapatti\n"); }));

    events->setTrusted(true);
    ASSERT_TRUE(runUntil([&] { return model->isTrusted(); }));
    EXPECT_EQ(type("izin"), "izin zaten var\n");
    EXPECT_EQ(requests, 1);
}

TEST_F(PortalShellTest, DoktorRunsBesideTheShellAndPrintsEveryLine) {
    takeOutput();
    EXPECT_EQ(type("doktor"), "bağlantı denetleniyor…\n");
    // The shell goes on meanwhile, and a second doctor waits for the first.
    EXPECT_EQ(type("doktor"), "bağlantı denetimi sürüyor\n");
    EXPECT_NE(type("durum").find("durum: "), std::string::npos);
    EXPECT_EQ(doctorsMade, 1);

    release.set_value();
    isReleased = true;
    ASSERT_TRUE(runUntil([&] { return hasPrinted("denetim bitti"); }));
    EXPECT_EQ(takeOutput(), doctorLine(checks[0]) + "\n" + doctorLine(checks[1]) +
                                "\ndenetim bitti: 1/2 geçti\n");
    EXPECT_EQ(type("doktor"), "bağlantı denetleniyor…\n");
    EXPECT_EQ(doctorsMade, 2);
    std::string second;
    ASSERT_TRUE(runUntil([&] {
        second += takeOutput();
        return second.find("denetim bitti") != std::string::npos;
    }));
}

// The reading runs on the queue the test runs, so each step below waits for the shell to have
// handled what was written, not for time to pass.
TEST_F(HeadlessShellTest, ReadsCommandsFromADescriptorOneLinePerTurnUntilItsEnd) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int flags = fcntl(ends[0], F_GETFL);
    ASSERT_TRUE(shell->startReading(ends[0]));
    takeOutput();
    const std::string overlong(HeadlessShell::maximumLineLength + 10, 'x');
    // "\r\n", an empty line, an overlong line across reads, a last line without its end.
    const std::string typed = "durum\r\nçık\nhiz 1.5\n\n" + overlong + "\nkayit";
    ASSERT_EQ(write(ends[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    close(ends[1]);

    // The quit stops the queue as in the program; the next line waits for the next run.
    ASSERT_TRUE(runUntil([&] { return quits == 1; }));
    EXPECT_EQ(takeOutput(), "durum: " + model->headerText() + "\nçıkılıyor\n");

    ASSERT_TRUE(runUntil([&] { return hasPrinted("giriş bitti"); }));
    const std::string out = takeOutput();
    const auto speed = out.find("İmleç hızı: 1.50×\n");
    const auto cut = out.find("bilinmeyen komut: " + overlong.substr(0, overlong.size() - 10) +
                              " (komutlar için: yardım)\n");
    const auto recording = out.find("Hareket kaydı: ");
    EXPECT_LT(speed, cut) << out;
    EXPECT_LT(cut, recording) << out;
    EXPECT_LT(recording, out.find("giriş bitti")) << out;
    EXPECT_EQ(out.find("bilinmeyen komut"), out.rfind("bilinmeyen komut"))
        << "the rest of the overlong line is skipped";
    // Given back open and as it was found.
    EXPECT_EQ(fcntl(ends[0], F_GETFL), flags);
    close(ends[0]);
}

TEST_F(HeadlessShellTest, StoppedReadingLeavesTheDescriptorOpenAsItWasAndReadsNoMore) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    const int flags = fcntl(ends[0], F_GETFL);
    ASSERT_TRUE(shell->startReading(ends[0]));
    shell->stopReading();
    EXPECT_EQ(fcntl(ends[0], F_GETFL), flags);
    takeOutput();
    const std::string typed = "durum\n";
    ASSERT_EQ(write(ends[1], typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
    close(ends[1]);

    // A reading still going would have taken the line within this turn of the queue.
    bool turned = false;
    queue->async([&] { turned = true; });
    ASSERT_TRUE(runUntil([&] { return turned; }));
    EXPECT_EQ(takeOutput(), "") << "no line and no end after stopReading()";

    close(ends[0]);
}

} // namespace
} // namespace ravnix::test
