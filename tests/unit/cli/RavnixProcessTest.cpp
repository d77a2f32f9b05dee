// The built program as a user starts it: private XDG folders, stdin and stdout as pipes, and
// the touch link spoken to on 127.0.0.1 with the packet codec. Every wait is bounded.

#include "ProcessSupport.hpp"

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

class RavnixProcessTest : public ProcessTest {
  protected:
    std::vector<std::string> headlessArguments() const {
        return {"--headless", "--events=log", "--port", std::to_string(port),
                "--secret-store=file"};
    }
};

std::vector<std::uint8_t> pingPacket(std::uint64_t time) {
    std::vector<std::uint8_t> packet(PacketFormat::controlPacketSize);
    EXPECT_TRUE(PacketCodec::encodeControl({PacketKind::ping, 7, time, 0}, packet));
    return packet;
}

// One finger, signed for a pairing this desktop does not have.
std::vector<std::uint8_t> strangerTouchPacket() {
    std::vector<std::uint8_t> packet(PacketFormat::maximumDatagramSize);
    const std::array<FingerSample, 1> finger{{{1, FingerPhase::began, 0.5F, 0.5F, 0.1F}}};
    const auto body = PacketCodec::encodeTouch({1, 1000, 0, 1, {}, 1}, finger, packet);
    EXPECT_TRUE(body);
    const auto total = PacketCodec::appendTrailer(0x5EED, 0x1234, packet, body.value_or(0));
    EXPECT_TRUE(total);
    packet.resize(total.value_or(0));
    return packet;
}

TEST_F(RavnixProcessTest, AnswersOnTheTouchPortAndEndsOnTheCommand) {
    RavnixProcess ravnix;
    ASSERT_TRUE(ravnix.start(headlessArguments(), environment, folder / "stderr.txt"));
    ASSERT_TRUE(ravnix.waitForOutput("durum: ")) << ravnix.stdoutText() << errors();

    LoopbackPhone phone(port);
    const auto pong = phone.exchange(pingPacket(123456789), PacketKind::pong);
    ASSERT_TRUE(pong) << "no pong within 10 s";
    const auto control = PacketCodec::decodeControl(*pong);
    ASSERT_TRUE(control);
    EXPECT_EQ(control->echoTimeNanos, 123456789u);
    EXPECT_EQ(control->sequence, 7u);
    EXPECT_TRUE(phone.exchange(strangerTouchPacket(), PacketKind::unpaired))
        << "no unpaired notice within 10 s";

    const std::string log = readFile(logFolder() / "pencere.log");
    EXPECT_NE(log.find("basliyor · port=" + std::to_string(port)), std::string::npos) << log;
    EXPECT_NE(log.find("olaylar: log · istendi (--events=log)"), std::string::npos) << log;
    EXPECT_NE(log.find((logFolder() / "events.log").string()), std::string::npos) << log;
    EXPECT_NE(log.find("gizli bilgi deposu: "), std::string::npos) << log;
    EXPECT_NE(log.find("dns-sd"), std::string::npos) << log;

    ravnix.writeInput("cik\n");
    const auto status = ravnix.waitForExit();
    ASSERT_TRUE(status) << "still running 10 s after the command";
    ASSERT_TRUE(WIFEXITED(*status)) << "status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0) << errors();
    EXPECT_NE(readFile(logFolder() / "pencere.log").find("kapandi"), std::string::npos);
}

TEST_F(RavnixProcessTest, RunsOnWithoutInputAndEndsCleanlyOnSigterm) {
    RavnixProcess ravnix;
    ASSERT_TRUE(ravnix.start(headlessArguments(), environment, folder / "stderr.txt"));
    ASSERT_TRUE(ravnix.waitForOutput("durum: ")) << ravnix.stdoutText() << errors();

    ravnix.closeInput();
    ASSERT_TRUE(ravnix.waitForOutput("giriş bitti")) << ravnix.stdoutText();
    LoopbackPhone phone(port);
    EXPECT_TRUE(phone.exchange(pingPacket(1), PacketKind::pong)) << "stopped answering";

    ravnix.signal(SIGTERM);
    const auto status = ravnix.waitForExit();
    ASSERT_TRUE(status) << "still running 10 s after SIGTERM";
    ASSERT_TRUE(WIFEXITED(*status)) << "status " << *status;
    EXPECT_EQ(WEXITSTATUS(*status), 0) << errors();
    // The clean path ran: the model was shut down and wrote its motion recording.
    const std::string log = readFile(logFolder() / "pencere.log");
    EXPECT_NE(log.find("kapaniyor: "), std::string::npos) << log;
    EXPECT_NE(log.find("kapandi"), std::string::npos) << log;
    EXPECT_TRUE(std::filesystem::exists(logFolder() / "hareket.csv"));
}

TEST_F(RavnixProcessTest, ABadOptionIsRefusedWithTheUsage) {
    RavnixProcess ravnix;
    ASSERT_TRUE(ravnix.start({"--port=70000"}, environment, folder / "stderr.txt"));
    const auto status = ravnix.waitForExit();
    ASSERT_TRUE(status && WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 2);
    const std::string text = errors();
    EXPECT_EQ(text.rfind("ravnix: ", 0), 0u) << text;
    EXPECT_NE(text.find("Kullanım: ravnix"), std::string::npos) << text;
    EXPECT_FALSE(std::filesystem::exists(logFolder())) << "a refused start touched nothing";
}

// An X server of the test's own, ended and started again under the running program.
std::unique_ptr<RavnixProcess> startXvfb(const std::filesystem::path& errors,
                                         std::vector<std::string> arguments) {
    if (!std::filesystem::exists("/usr/bin/Xvfb")) {
        return nullptr;
    }
    arguments.insert(arguments.end(),
                     {"-screen", "0", "800x600x24", "-nolisten", "tcp", "-displayfd", "1"});
    auto server = std::make_unique<RavnixProcess>("/usr/bin/Xvfb");
    if (!server->start(arguments, {}, errors) || !server->waitForOutput("\n")) {
        return nullptr;
    }
    return server;
}

TEST_F(RavnixProcessTest, ALostDisplayShowsInTheStatusAndTheDisplayComingBackIsFound) {
    auto server = startXvfb(folder / "xvfb.txt", {});
    if (!server) {
        GTEST_SKIP() << "a private Xvfb did not start (Debian package xvfb)";
    }
    const std::string display =
        ":" + server->stdoutText().substr(0, server->stdoutText().find('\n'));
    environment.push_back("DISPLAY=" + display);
    RavnixProcess ravnix;
    ASSERT_TRUE(ravnix.start(
        {"--headless", "--events=x11", "--port", std::to_string(port), "--secret-store=file"},
        environment, folder / "stderr.txt"));
    ASSERT_TRUE(ravnix.waitForOutput("durum: Hazır")) << ravnix.stdoutText() << errors();

    server->signal(SIGTERM);
    ASSERT_TRUE(server->waitForExit());
    // The permission poll notices within a second; the status names the display.
    ASSERT_TRUE(ravnix.waitForOutput("durum: X ekranıyla (" + display +
                                     ") bağlantı koptu; yeniden bağlanmayı bekliyor"))
        << ravnix.stdoutText();
    EXPECT_EQ(ravnix.stdoutText().find("XTEST eklentisini sunmuyor"), std::string::npos)
        << "the lost display is not a missing extension: " << ravnix.stdoutText();
    LoopbackPhone phone(port);
    EXPECT_TRUE(phone.exchange(pingPacket(5), PacketKind::pong)) << "pings are still answered";

    const std::size_t lost = ravnix.stdoutText().size();
    server = startXvfb(folder / "xvfb-again.txt", {display});
    ASSERT_TRUE(server) << "Xvfb did not start again on " << display;
    EXPECT_TRUE(ravnix.waitForOutput("durum: Hazır", lost)) << ravnix.stdoutText();
    ravnix.writeInput("cik\n");
    EXPECT_TRUE(ravnix.waitForExit());
}

} // namespace
} // namespace ravnix::test
