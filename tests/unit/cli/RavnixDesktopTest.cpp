// The tray application as a user starts it on an X display: it comes up, a second launch hands
// over to it and ends, and a signal ends it cleanly.

#include "ProcessSupport.hpp"
#include "support/TestService.hpp"

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

bool waitForLog(const std::filesystem::path& file, std::string_view text) {
    const auto deadline = Clock::now() + kLimit;
    while (Clock::now() < deadline) {
        if (readFile(file).find(text) != std::string::npos) {
            return true;
        }
        ::poll(nullptr, 0, 20);
    }
    return false;
}

TEST(RavnixDesktop, SecondLaunchReopensTheFirstAndSigtermEndsIt) {
    RAVNIX_REQUIRE_SERVICE(xvfb, "xvfb");
    char pattern[] = "/tmp/ravnix-desktop-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path folder = pattern;
    std::filesystem::create_directories(folder / "runtime");
    std::filesystem::permissions(folder / "runtime", std::filesystem::perms::owner_all);
    const auto environment = privateEnvironment(
        folder, {"XDG_RUNTIME_DIR=" + (folder / "runtime").string(), "DISPLAY=" + xvfb["DISPLAY"]});
    const std::vector<std::string> arguments = {
        "--events=x11", "--port", std::to_string(freeUdpPort()), "--secret-store=file"};
    const auto log = folder / "state" / "ravnix" / "pencere.log";

    RavnixProcess first;
    ASSERT_TRUE(first.start(arguments, environment, folder / "first.txt"));
    ASSERT_TRUE(waitForLog(log, "tepsi: ")) << readFile(log) << readFile(folder / "first.txt");
    EXPECT_NE(readFile(log).find("kabuk=tepsi"), std::string::npos);

    // Trusted on this display, so the reopen shows the guide through the presenter.
    RavnixProcess second;
    ASSERT_TRUE(second.start(arguments, environment, folder / "second.txt"));
    const auto secondStatus = second.waitForExit();
    ASSERT_TRUE(secondStatus);
    EXPECT_TRUE(WIFEXITED(*secondStatus) && WEXITSTATUS(*secondStatus) == 0);
    EXPECT_NE(second.stdoutText().find("zaten çalışıyor"), std::string::npos);
    EXPECT_TRUE(waitForLog(log, "dugme: kilavuz")) << readFile(log);
    EXPECT_TRUE(waitForLog(log, "sonuc: kilavuz gorunur=true")) << readFile(log);

    first.signal(SIGTERM);
    const auto status = first.waitForExit();
    ASSERT_TRUE(status) << "still running 10 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_NE(readFile(log).find("kapandi"), std::string::npos);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
}

} // namespace
} // namespace ravnix::test
