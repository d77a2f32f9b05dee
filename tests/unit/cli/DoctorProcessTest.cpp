// The connection doctor as a user runs it: `ravnix --doctor` beside a running program on this
// machine (avahi on lo), and `doktor` typed into that program.

#include "ProcessSupport.hpp"
#include "support/TestService.hpp"

#include <map>
#include <regex>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;

// Every check the doctor makes, in its order.
const std::vector<std::string> kChecks = {"ağ",           "avahi",         "duyuru",
                                          "portlar",      "ping",          "güvenlik duvarı",
                                          "olay sistemi", "anahtar deposu"};

// The doctor's lines in `text`: check name → whether it passed, and the whole line.
std::map<std::string, std::pair<bool, std::string>> doctorLines(const std::string& text) {
    std::map<std::string, std::pair<bool, std::string>> lines;
    static const std::regex line(R"((?:^|\n)\[(tamam|HATA)\] ([^:\n]+): [^\n]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it) {
        lines[(*it)[2]] = {(*it)[1] == "tamam", it->str()};
    }
    return lines;
}

class DoctorProcessTest : public ProcessTest {
  protected:
    // Runs `binary` with `arguments` to its end; its exit code and standard output.
    std::pair<std::optional<int>, std::string> run(const std::string& binary,
                                                   const std::vector<std::string>& arguments) {
        RavnixProcess child(binary);
        if (!child.start(arguments, environment, folder / "run-stderr.txt")) {
            return {std::nullopt, "could not start " + binary};
        }
        const auto status = child.waitForExit();
        std::optional<int> code;
        if (status && WIFEXITED(*status)) {
            code = WEXITSTATUS(*status);
        }
        return {code, child.stdoutText() + readFile(folder / "run-stderr.txt")};
    }
};

TEST_F(DoctorProcessTest, ExaminesTheRunningProgramFromOutsideAndFromItsTerminal) {
    RAVNIX_REQUIRE_SERVICE(avahi, "avahi");
    environment =
        privateEnvironment(folder, {"DBUS_SYSTEM_BUS_ADDRESS=" + avahi["DBUS_SYSTEM_BUS_ADDRESS"]});
    const std::vector<std::string> options = {"--events=log", "--port", std::to_string(port),
                                              "--secret-store=file"};
    // Nothing runs on another port: its checks fail, and so does the doctor.
    const auto [idle, idleText] =
        run(RAVNIX_BINARY, {"--doctor", "--events=log", "--port", std::to_string(freeUdpPort())});
    EXPECT_EQ(idle, 1) << idleText;
    std::vector<std::string> headless = {"--headless"};
    headless.insert(headless.end(), options.begin(), options.end());
    RavnixProcess ravnix;
    ASSERT_TRUE(ravnix.start(headless, environment, folder / "stderr.txt"));
    ASSERT_TRUE(ravnix.waitForOutput("durum: ")) << ravnix.stdoutText();

    std::vector<std::string> doctor = {"--doctor"};
    doctor.insert(doctor.end(), options.begin(), options.end());
    const auto [code, text] = run(RAVNIX_BINARY, doctor);
    ASSERT_TRUE(code) << text;
    const auto lines = doctorLines(text);
    for (const auto& name : kChecks) {
        ASSERT_TRUE(lines.contains(name)) << name << " missing in:\n" << text;
    }
    // What this machine gives the running program: avahi on lo, our two advertisements found
    // again under the identifier of its preferences, the ping, the event log, the file store.
    for (const char* passing : {"avahi", "duyuru", "ping", "olay sistemi", "anahtar deposu"}) {
        EXPECT_TRUE(lines.at(passing).first) << lines.at(passing).second;
    }
    EXPECT_NE(lines.at("ping").second.find("127.0.0.1:" + std::to_string(port)), std::string::npos);
    bool allPassed = true;
    for (const auto& [name, line] : lines) {
        allPassed = allPassed && line.first;
        if (!line.first) {
            EXPECT_NE(line.second.find(". Çözüm: "), std::string::npos) << line.second;
        }
    }
    EXPECT_EQ(*code, allPassed ? 0 : 1) << text;

    // The same checks from inside, with the running model's values.
    const std::size_t before = ravnix.stdoutText().size();
    ravnix.writeInput("doktor\n");
    ASSERT_TRUE(ravnix.waitForOutput("denetim bitti: ")) << ravnix.stdoutText();
    const auto inside = doctorLines(ravnix.stdoutText().substr(before));
    for (const auto& name : kChecks) {
        EXPECT_TRUE(inside.contains(name)) << name << " missing in:\n" << ravnix.stdoutText();
    }
    for (const char* passing : {"avahi", "duyuru", "ping", "olay sistemi"}) {
        ASSERT_TRUE(inside.contains(passing));
        EXPECT_TRUE(inside.at(passing).first) << inside.at(passing).second;
    }
    ravnix.writeInput("cik\n");
    EXPECT_TRUE(ravnix.waitForExit());
}

} // namespace
} // namespace ravnix::test
