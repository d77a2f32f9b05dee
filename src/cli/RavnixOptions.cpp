#include "cli/RavnixOptions.hpp"

#include <optional>
#include <string>

namespace ravnix {

const std::string_view ravnixUsage =
    "Kullanım: ravnix [--headless] [--events=auto|x11|portal|wlroots|uinput|log|none]\n"
    "                 [--port N] [--pairing-port N] [--peer-port N]\n"
    "                 [--secret-store=auto|secret-service|file]\n"
    "         ravnix --doctor [--port N] [--pairing-port N] [--peer-port N] [--events=KIP]\n"
    "                [--secret-store=K]\n"
    "         ravnix --version | --help\n"
    "\n"
    "Telefonu masaüstü için izleme yüzeyine çevirir: dokunma karelerini UDP 9931\n"
    "üzerinden alır ve işaretçi, tıklama, kaydırma ve kısayol olaylarına dönüştürür.\n";

const std::string_view ravnixOptionsHelp =
    "\n"
    "  --headless        terminalde çalışır: durum satırı ve eşleştirme onayı standart\n"
    "                    çıktıda, komutlar standart girişte (komutlar için: yardım).\n"
    "                    Ekran yoksa ravnix kendiliğinden böyle çalışır; yoksa tepside.\n"
    "  --events=KIP      auto (varsayılan): X11 oturumunda (Xwayland değilse) X11,\n"
    "                    Wayland'de işaretçi ve klavye sunan masaüstü portalı, yoksa\n"
    "                    wlroots sanal girdisi, yoksa yazılabilirse uinput, yoksa hiçbiri\n"
    "                    (ne kurulacağı söylenir); x11: XTEST ile gerçek olaylar;\n"
    "                    portal: masaüstünün uzaktan denetim portalı (masaüstü izin sorar);\n"
    "                    wlroots: sway, Hyprland, river gibi bileşik sunucuların sanal\n"
    "                    işaretçi ve klavyesi; uinput: çekirdeğin sanal aygıtı (/dev/uinput)\n"
    "                    log: her olay günlük klasöründe events.log'a bir satır;\n"
    "                    none: olay gönderilmez (izin yok sayılır)\n"
    "  --port N          dokunma kareleri için UDP portu (1-65535, varsayılan 9931)\n"
    "  --pairing-port N  eşleştirme için TCP portu (varsayılan 9932; doluysa sistem seçer)\n"
    "  --peer-port N     eşler arası yol için UDP portu (varsayılan 9933; doluysa sistem\n"
    "                    seçer)\n"
    "  --secret-store=K  eşleştirmelerin deposu: auto, secret-service ya da file\n"
    "  --doctor          çalışan ravnix'i dışarıdan denetler (ağ, avahi, portlar, ping,\n"
    "                    güvenlik duvarı, olay sistemi, anahtar deposu), her denetim için\n"
    "                    bir satır yazar; hepsi geçerse çıkış kodu 0\n";

namespace {

constexpr NameTable<RavnixOptions::Events, 7> eventsNames{{
    {"auto", RavnixOptions::Events::automatic},
    {"x11", RavnixOptions::Events::x11},
    {"portal", RavnixOptions::Events::portal},
    {"wlroots", RavnixOptions::Events::wlroots},
    {"uinput", RavnixOptions::Events::uinput},
    {"log", RavnixOptions::Events::log},
    {"none", RavnixOptions::Events::none},
}};

std::unexpected<UsageError> refuse(std::string text) {
    return std::unexpected(UsageError{std::move(text)});
}

std::unexpected<UsageError> invalidValue(std::string_view option, std::string_view value) {
    return refuse(std::string(option) + " için geçersiz değer: " + std::string(value));
}

// What follows `prefix` in `argument`; none when it does not start so.
std::optional<std::string_view> after(std::string_view argument, std::string_view prefix) {
    if (!argument.starts_with(prefix)) {
        return std::nullopt;
    }
    return argument.substr(prefix.size());
}

// A port option, as `NAME N` or `NAME=N`; none when arguments[at] is not this option. The
// separate form moves `at` past its value.
std::optional<std::expected<std::uint16_t, UsageError>>
portOption(std::string_view name, std::span<const std::string_view> arguments, std::size_t& at) {
    std::string_view text;
    if (arguments[at] == name) {
        if (at + 1 >= arguments.size()) {
            return refuse(std::string(name) + " bir sayı bekliyor");
        }
        text = arguments[++at];
    } else if (const auto inlineValue = after(arguments[at], std::string(name) + "=")) {
        text = *inlineValue;
    } else {
        return std::nullopt;
    }
    const auto port = wholeNumber<unsigned>(text);
    if (!port || *port == 0 || *port > 65535) {
        return refuse(std::string(name) + " için geçersiz değer: " + std::string(text) +
                      " (1-65535)");
    }
    return static_cast<std::uint16_t>(*port);
}

} // namespace

std::expected<RavnixOptions, UsageError>
parseRavnixOptions(std::span<const std::string_view> arguments) {
    RavnixOptions options;
    if (const auto request = answeringRequest(arguments)) {
        options.request = *request;
        return options;
    }
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string_view argument = arguments[at];
        if (argument == "--headless") {
            options.headless = true;
        } else if (argument == "--doctor") {
            options.doctor = true;
        } else if (const auto events = after(argument, "--events=")) {
            const auto kind = named(eventsNames, *events);
            if (!kind) {
                return invalidValue("--events", *events);
            }
            options.events = *kind;
        } else if (const auto port = portOption("--port", arguments, at)) {
            if (!*port) {
                return std::unexpected(port->error());
            }
            options.port = **port;
        } else if (const auto pairing = portOption("--pairing-port", arguments, at)) {
            if (!*pairing) {
                return std::unexpected(pairing->error());
            }
            options.pairingPort = **pairing;
        } else if (const auto peer = portOption("--peer-port", arguments, at)) {
            if (!*peer) {
                return std::unexpected(peer->error());
            }
            options.peerPort = **peer;
        } else if (const auto store = after(argument, "--secret-store=")) {
            const auto choice = named(secretStoreNames, *store);
            if (!choice) {
                return invalidValue("--secret-store", *store);
            }
            options.secretStore = *choice;
        } else {
            return refuse("bilinmeyen seçenek: " + std::string(argument));
        }
    }
    return options;
}

} // namespace ravnix
