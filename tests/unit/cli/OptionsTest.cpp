// Both programs' command lines: what a good one sets, and the one-line complaint each bad one
// gets before the usage (the process tests check that it ends the program with 2).

#include "cli/RavnixOptions.hpp"
#include "cli/phone/PhoneOptions.hpp"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace ravnix::test {
namespace {

using namespace std::chrono_literals;
using Arguments = std::vector<std::string_view>;

std::string joined(const Arguments& arguments) {
    std::string text;
    for (const auto argument : arguments) {
        text += (text.empty() ? "" : " ") + std::string(argument);
    }
    return "[" + text + "]";
}

TEST(RavnixOptionsTest, GoodLinesSetTheirFieldsAndEachBadOneSaysWhy) {
    using Events = RavnixOptions::Events;
    const std::vector<std::pair<Arguments, RavnixOptions>> good = {
        {{}, {}},
        {{"--headless", "--events=log", "--port", "40000", "--secret-store=file"},
         {.headless = true,
          .events = Events::log,
          .port = 40000,
          .secretStore = SecretStoreChoice::file}},
        {{"--events=none", "--port=1", "--secret-store=secret-service", "--events=x11"},
         {.events = Events::x11, .port = 1, .secretStore = SecretStoreChoice::secretService}},
        {{"--port=65535", "--events=auto", "--secret-store=auto"}, {.port = 65535}},
        {{"--doctor", "--events=portal", "--port", "9000"},
         {.events = Events::portal, .port = 9000, .doctor = true}},
        {{"--events=wlroots", "--pairing-port", "19932", "--peer-port=19933", "--events=uinput"},
         {.events = Events::uinput, .pairingPort = 19932, .peerPort = 19933}},
        // These two answer whatever else the line holds.
        {{"--frobnicate", "--version"}, {.request = ProgramRequest::version}},
        {{"--port", "0", "-h"}, {.request = ProgramRequest::help}},
    };
    for (const auto& [arguments, expected] : good) {
        const auto parsed = parseRavnixOptions(arguments);
        ASSERT_TRUE(parsed) << joined(arguments) << ": " << parsed.error().text;
        EXPECT_EQ(*parsed, expected) << joined(arguments);
    }

    const std::vector<std::pair<Arguments, std::string>> bad = {
        {{"--events=wayland"}, "--events için geçersiz değer: wayland"},
        {{"--doctor=1"}, "bilinmeyen seçenek: --doctor=1"},
        {{"--events", "x11"}, "bilinmeyen seçenek: --events"},
        {{"--headless", "--port"}, "--port bir sayı bekliyor"},
        {{"--port=70000"}, "--port için geçersiz değer: 70000 (1-65535)"},
        {{"--port", "0"}, "--port için geçersiz değer: 0 (1-65535)"},
        {{"--port", "1x"}, "--port için geçersiz değer: 1x (1-65535)"},
        {{"--port=-1"}, "--port için geçersiz değer: -1 (1-65535)"},
        {{"--pairing-port"}, "--pairing-port bir sayı bekliyor"},
        {{"--peer-port", "0"}, "--peer-port için geçersiz değer: 0 (1-65535)"},
        {{"--secret-store=keyring"}, "--secret-store için geçersiz değer: keyring"},
        {{"--headless", "phone"}, "bilinmeyen seçenek: phone"},
    };
    for (const auto& [arguments, complaint] : bad) {
        const auto parsed = parseRavnixOptions(arguments);
        ASSERT_FALSE(parsed) << joined(arguments);
        EXPECT_EQ(parsed.error().text, complaint) << joined(arguments);
    }
}

TEST(PhoneOptionsTest, GoodLinesSetTheirFieldsAndEachBadOneSaysWhy) {
    using Command = PhoneOptions::Command;
    using Route = ConnectionScenario::Route;
    const std::vector<std::pair<Arguments, PhoneOptions>> good = {
        {{"browse"}, {}},
        {{"--seconds", "2.5", "browse"}, {.seconds = 2.5}},
        {{"pair", "Masa", "--device-id=d1", "--name", "Tel", "--model", "M", "--timeout", "0.0005",
          "--answer-timeout=2"},
         {.command = Command::pair,
          .target = "Masa",
          .timeout = 1ms,
          .answerTimeout = 2s,
          .deviceID = "d1",
          .name = "Tel",
          .model = "M"}},
        {{"play", "--route", "airdrop", "imlec", "--rate", "480", "--repeat=50", "--scale", "0.5",
          "--desktop", "Masa"},
         {.command = Command::play,
          .target = "imlec",
          .desktop = "Masa",
          .route = Route::airdrop,
          .rate = 480,
          .repeat = 50,
          .scale = 0.5}},
        {{"ping", "--count", "1000", "--secret-store=file", "--route=wifi"},
         {.command = Command::ping, .secretStore = SecretStoreChoice::file, .count = 1000}},
        {{"status", "--bogus", "--version"}, {.request = ProgramRequest::version}},
        {{"frob", "--help"}, {.request = ProgramRequest::help}},
    };
    for (const auto& [arguments, expected] : good) {
        const auto parsed = parsePhoneOptions(arguments);
        ASSERT_TRUE(parsed) << joined(arguments) << ": " << parsed.error().text;
        EXPECT_EQ(*parsed, expected) << joined(arguments);
    }

    const std::vector<std::pair<Arguments, std::string>> bad = {
        {{}, "bir komut gerekiyor"},
        {{"--count", "3"}, "bir komut gerekiyor"},
        {{"frob"}, "bilinmeyen komut: frob"},
        {{"browse", "x"}, "browse başka bir argüman almaz"},
        {{"pair"}, "pair tek bir argüman bekliyor"},
        {{"play", "a", "b"}, "play tek bir argüman bekliyor"},
        {{"status", "--count"}, "--count bir değer bekliyor"},
        // Options are read before the command is looked at.
        {{"--count", "0", "frob"}, "--count için geçersiz değer: 0 (1-1000)"},
        {{"ping", "--count", "1.5"}, "--count için geçersiz değer: 1.5 (1-1000)"},
        {{"ping", "--timeout", "0"}, "--timeout için geçersiz değer: 0 (0-3600 saniye)"},
        {{"ping", "--answer-timeout=inf"},
         "--answer-timeout için geçersiz değer: inf (0-3600 saniye)"},
        {{"ping", "--route", "bluetooth"},
         "--route için geçersiz değer: bluetooth (wifi ya da airdrop)"},
        {{"play", "x", "--rate", "481"}, "--rate için geçersiz değer: 481 (0-480 Hz)"},
        {{"play", "x", "--repeat", "51"}, "--repeat için geçersiz değer: 51 (1-50)"},
        {{"play", "x", "--scale", "1,5"}, "--scale için geçersiz değer: 1,5 (0-10)"},
        {{"browse", "--seconds", "3601"}, "--seconds için geçersiz değer: 3601 (0-3600)"},
        {{"status", "--secret-store=keyring"}, "--secret-store için geçersiz değer: keyring"},
        {{"status", "--frob", "1"}, "bilinmeyen seçenek: --frob"},
    };
    for (const auto& [arguments, complaint] : bad) {
        const auto parsed = parsePhoneOptions(arguments);
        ASSERT_FALSE(parsed) << joined(arguments);
        EXPECT_EQ(parsed.error().text, complaint) << joined(arguments);
    }
}

} // namespace
} // namespace ravnix::test
