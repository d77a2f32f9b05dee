#include "cli/phone/PhoneOptions.hpp"

#include "guide/DemoFrames.hpp"
#include "transport/CFormat.hpp"

#include <cmath>
#include <cstdint>
#include <vector>

namespace ravnix {

const std::string_view phoneUsage =
    "Kullanım: ravnix-phone browse [--seconds N]\n"
    "         ravnix-phone pair AD [--device-id ID] [--name AD] [--model MODEL]\n"
    "         ravnix-phone ping [--count N] [--route wifi|airdrop]\n"
    "         ravnix-phone play GÖSTERİM [--route wifi|airdrop] [--rate HZ] [--repeat N]\n"
    "                           [--scale S]\n"
    "         ravnix-phone status [--route wifi|airdrop]\n"
    "         ravnix-phone --version | --help\n"
    "ortak seçenekler: [--timeout SANİYE] [--answer-timeout SANİYE] [--desktop AD]\n"
    "                  [--secret-store=auto|secret-service|file]\n";

const std::string_view phoneOptionsHelp =
    "\n"
    "Telefonun yerine geçer: masaüstündeki ravnix'i bulur, onunla eşleşir, bağlantıyı ölçer ve\n"
    "hareket rehberinin gösterimlerini kimliği doğrulanmış dokunma kareleri olarak oynatır.\n"
    "\n"
    "  browse            DNS-SD'de görünen masaüstleri (ad, kimlik, dokunma portu), her\n"
    "                    değişiklikte yeniden; --seconds kadar (varsayılan 5)\n"
    "  pair AD           AD adlı masaüstüyle eşleşir; sayıyı gösterir ve terminalde onay sorar\n"
    "  ping              eşleşilen masaüstüne ping (varsayılan 10), gecikme ve saat farkı\n"
    "  play GÖSTERİM     rehber gösterimini kare kare gönderir (varsayılan 120 Hz)\n"
    "  status            bağlantı durumu ve önerilen adım\n"
    "\n"
    "  --timeout S       her ağ beklemesinin üst sınırı (varsayılan 5 s)\n"
    "  --answer-timeout S  bir insanın onayını bekleme sınırı (varsayılan 60 s)\n"
    "  --desktop AD      birden çok eşleşme varken hangi masaüstü (ad ya da kimlik)\n"
    "  --secret-store=K  eşleştirmelerin deposu: auto, secret-service ya da file\n";

namespace {

using Command = PhoneOptions::Command;

constexpr NameTable<Command, 5> commandNames{{
    {"browse", Command::browse},
    {"pair", Command::pair},
    {"ping", Command::ping},
    {"play", Command::play},
    {"status", Command::status},
}};

bool takesTarget(Command command) {
    return command == Command::pair || command == Command::play;
}

std::unexpected<UsageError> refuse(std::string text) {
    return std::unexpected(UsageError{std::move(text)});
}

// A number in (0, limit].
std::optional<double> positiveUpTo(std::string_view text, double limit) {
    const auto value = wholeNumber<double>(text);
    if (!value || *value <= 0 || *value > limit) {
        return std::nullopt;
    }
    return value;
}

std::optional<int> countIn(std::string_view text, int low, int high) {
    const auto value = wholeNumber<int>(text);
    if (!value || *value < low || *value > high) {
        return std::nullopt;
    }
    return value;
}

// Seconds up to an hour, rounded up to whole milliseconds.
std::optional<std::chrono::milliseconds> secondsAsMillis(std::string_view text) {
    const auto value = positiveUpTo(text, 3600);
    if (!value) {
        return std::nullopt;
    }
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::ceil(*value * 1000)));
}

// Sets the option `name` from `text`; on a bad value, the range it takes ("" when there is
// none to name). Unknown names are refused whole.
std::expected<void, UsageError> apply(PhoneOptions& options, std::string_view name,
                                      std::string_view text) {
    const auto invalid = [&](std::string_view range) {
        return refuse(std::string(name) + " için geçersiz değer: " + std::string(text) +
                      (range.empty() ? "" : " (" + std::string(range) + ")"));
    };
    if (name == "--timeout" || name == "--answer-timeout") {
        const auto millis = secondsAsMillis(text);
        if (!millis) {
            return invalid("0-3600 saniye");
        }
        (name == "--timeout" ? options.timeout : options.answerTimeout) = *millis;
    } else if (name == "--desktop") {
        options.desktop = std::string(text);
    } else if (name == "--secret-store") {
        const auto choice = named(secretStoreNames, text);
        if (!choice) {
            return invalid("");
        }
        options.secretStore = *choice;
    } else if (name == "--route") {
        const auto route = ConnectionScenario::routeFromRawValue(text);
        if (!route) {
            return invalid("wifi ya da airdrop");
        }
        options.route = *route;
    } else if (name == "--seconds") {
        const auto seconds = positiveUpTo(text, 3600);
        if (!seconds) {
            return invalid("0-3600");
        }
        options.seconds = *seconds;
    } else if (name == "--count") {
        const auto count = countIn(text, 1, 1000);
        if (!count) {
            return invalid("1-1000");
        }
        options.count = *count;
    } else if (name == "--rate") {
        const auto rate = positiveUpTo(text, maximumRate);
        if (!rate) {
            return invalid(formatC("0-%.0f Hz", maximumRate));
        }
        options.rate = *rate;
    } else if (name == "--repeat") {
        const auto repeat = countIn(text, 1, maximumRepeat);
        if (!repeat) {
            return invalid("1-" + std::to_string(maximumRepeat));
        }
        options.repeat = *repeat;
    } else if (name == "--scale") {
        const auto scale = positiveUpTo(text, 10);
        if (!scale) {
            return invalid("0-10");
        }
        options.scale = *scale;
    } else if (name == "--device-id") {
        options.deviceID = std::string(text);
    } else if (name == "--name") {
        options.name = std::string(text);
    } else if (name == "--model") {
        options.model = std::string(text);
    } else {
        return refuse("bilinmeyen seçenek: " + std::string(name));
    }
    return {};
}

} // namespace

std::expected<PhoneOptions, UsageError>
parsePhoneOptions(std::span<const std::string_view> arguments) {
    PhoneOptions options;
    if (const auto request = answeringRequest(arguments)) {
        options.request = *request;
        return options;
    }
    std::optional<std::string_view> command;
    std::vector<std::string_view> positional;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string_view argument = arguments[at];
        if (!argument.starts_with("--")) {
            if (!command) {
                command = argument;
            } else {
                positional.push_back(argument);
            }
            continue;
        }
        // "--name value" and "--name=value" alike; every option takes a value.
        std::string_view name = argument;
        std::string_view value;
        if (const auto equals = argument.find('='); equals != std::string_view::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        } else if (at + 1 < arguments.size()) {
            value = arguments[++at];
        } else {
            return refuse(std::string(name) + " bir değer bekliyor");
        }
        if (auto applied = apply(options, name, value); !applied) {
            return std::unexpected(std::move(applied.error()));
        }
    }
    if (!command) {
        return refuse("bir komut gerekiyor");
    }
    const auto chosen = named(commandNames, *command);
    if (!chosen) {
        return refuse("bilinmeyen komut: " + std::string(*command));
    }
    const std::size_t wanted = takesTarget(*chosen) ? 1 : 0;
    if (positional.size() != wanted) {
        return refuse(std::string(*command) +
                      (wanted == 0 ? " başka bir argüman almaz" : " tek bir argüman bekliyor"));
    }
    options.command = *chosen;
    if (wanted == 1) {
        options.target = std::string(positional.front());
    }
    return options;
}

} // namespace ravnix
