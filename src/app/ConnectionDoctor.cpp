#include "app/ConnectionDoctor.hpp"

#include "packet/PacketCodec.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/network/DnsSd.hpp"
#include "transport/CFormat.hpp"
#include "transport/MonotonicClock.hpp"
#include "transport/UDPSocket.hpp"

#include <array>
#include <charconv>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>

namespace ravnix {

namespace {

using namespace std::chrono_literals;

constexpr const char* pairingType = "_ravnix._tcp";
constexpr const char* peerType = "_ravnix-p2p._udp";

std::string portList(std::span<const FirewallPort> ports) {
    std::string text;
    for (const auto& port : ports) {
        text += (text.empty() ? "" : ", ") + describePort(port);
    }
    return text;
}

DoctorCheck addressCheck(const DoctorProbes& probes, std::string& interfaceName,
                         std::string& address) {
    const auto entries = probes.interfaces ? probes.interfaces() : std::vector<InterfaceAddress>{};
    const auto selected = selectLocalAddresses(entries);
    if (selected.empty()) {
        return {"ağ", false, "Wi-Fi ya da kablolu bağlantıda IPv4 adresi yok",
                "bilgisayarı telefonla aynı Wi-Fi ağına bağlayın (nmcli device wifi connect "
                "<ağ adı>)"};
    }
    std::string detail;
    for (const auto& entry : entries) {
        if (entry.host &&
            std::find(selected.begin(), selected.end(), *entry.host) != selected.end()) {
            if (interfaceName.empty()) {
                interfaceName = entry.interfaceName;
                address = *entry.host;
            }
            detail += (detail.empty() ? "" : ", ") + *entry.host + " (" + entry.interfaceName + ")";
        }
    }
    return {"ağ", true, detail, ""};
}

std::string startFix() {
    return "ravnix'i başlatın (ravnix, ravnix --headless ya da systemctl --user start ravnix)";
}

} // namespace

std::string doctorLine(const DoctorCheck& check) {
    std::string line = (check.passed ? "[tamam] " : "[HATA] ") + check.name + ": " + check.detail;
    if (!check.passed && !check.fix.empty()) {
        line += ". Çözüm: " + check.fix;
    }
    return line;
}

std::vector<DoctorCheck> runDoctor(const DoctorSettings& settings, const DoctorProbes& probes) {
    std::vector<DoctorCheck> checks;
    std::string interfaceName;
    std::string address;
    checks.push_back(addressCheck(probes, interfaceName, address));

    // The daemon, then our own two services as a phone would browse them.
    const AdvertisedServices advertised =
        probes.advertised ? probes.advertised(settings.macIdentifier) : AdvertisedServices{};
    if (!advertised.daemonReachable) {
        checks.push_back(
            {"avahi", false,
             "avahi-daemon yanıt vermiyor" + (advertised.daemonProblem.empty()
                                                  ? std::string()
                                                  : " (" + advertised.daemonProblem + ")"),
             "sudo systemctl enable --now avahi-daemon"});
    } else {
        checks.push_back({"avahi", true, "avahi-daemon yanıt veriyor", ""});
    }
    if (advertised.daemonReachable) {
        std::string missing;
        if (!advertised.pairingPort) {
            missing += pairingType;
        }
        if (!advertised.peerPort) {
            missing += std::string(missing.empty() ? "" : ", ") + peerType;
        }
        if (missing.empty()) {
            checks.push_back({"duyuru", true,
                              std::string(pairingType) + " port " +
                                  std::to_string(*advertised.pairingPort) + ", " + peerType +
                                  " port " + std::to_string(*advertised.peerPort) +
                                  " avahi üzerinden bulundu",
                              ""});
        } else {
            checks.push_back({"duyuru", false, "avahi'de bulunamadı: " + missing, startFix()});
        }
    } else {
        checks.push_back({"duyuru", false, "avahi olmadan telefon bu bilgisayarı bulamaz",
                          "sudo systemctl enable --now avahi-daemon"});
    }

    // The ports: bound at all, and the ones the firewall rules name.
    struct Wanted {
        const char* what;
        IpProtocol protocol;
        std::uint16_t port;
        std::optional<std::uint16_t> advertised;
        const char* option;
    };
    const std::array<Wanted, 3> wanted{{
        {"dokunma", IpProtocol::udp, settings.touchPort, settings.touchPort, "--port"},
        {"eşleştirme", IpProtocol::tcp, settings.pairingPort, advertised.pairingPort,
         "--pairing-port"},
        {"eşler arası", IpProtocol::udp, settings.peerPort, advertised.peerPort, "--peer-port"},
    }};
    std::string portDetail;
    std::string portProblem;
    std::string portFix;
    for (const auto& want : wanted) {
        const FirewallPort port{want.protocol, want.port, ""};
        const PortListening state =
            probes.listening ? probes.listening(want.protocol, want.port) : PortListening{};
        const bool moved = want.advertised && *want.advertised != want.port;
        if (moved) {
            portProblem += (portProblem.empty() ? "" : "; ") + describePort(port) +
                           " başka bir programda, ravnix " + std::to_string(*want.advertised) +
                           " portuna geçti";
            if (portFix.empty()) {
                portFix = "portu tutan programı bulun: sudo ss -lntup 'sport = :" +
                          std::to_string(want.port) + "' ve kapatın, ya da ravnix'i " +
                          want.option + " ile başka bir porta alıp güvenlik duvarında açın";
            }
        } else if (!state.ipv4 && !state.ipv6) {
            portProblem += (portProblem.empty() ? "" : "; ") + describePort(port) + " (" +
                           want.what + ") dinlenmiyor";
            if (portFix.empty()) {
                portFix = startFix();
            }
        } else {
            portDetail +=
                (portDetail.empty() ? "" : ", ") + describePort(port) + " (" + want.what + ")";
        }
    }
    if (portProblem.empty()) {
        checks.push_back({"portlar", true, portDetail + " dinleniyor", ""});
    } else {
        checks.push_back({"portlar", false, portProblem, portFix});
    }

    if (const auto rtt = probes.ping ? probes.ping(settings.touchPort)
                                     : std::expected<std::chrono::nanoseconds, std::string>(
                                           std::unexpected(std::string("denenmedi")));
        rtt) {
        checks.push_back({"ping", true,
                          "127.0.0.1:" + std::to_string(settings.touchPort) + " yanıt verdi (" +
                              formatC("%.2f", static_cast<double>(rtt->count()) / 1e6) + " ms)",
                          ""});
    } else {
        checks.push_back({"ping", false,
                          "127.0.0.1:" + std::to_string(settings.touchPort) +
                              " ping'e yanıt vermedi (" + rtt.error() + ")",
                          startFix()});
    }

    // What a phone on the local network meets: our ports and mDNS.
    const std::vector<FirewallPort> firewallPorts{
        {IpProtocol::udp, settings.touchPort, ""},
        {IpProtocol::tcp, settings.pairingPort, ""},
        {IpProtocol::udp, settings.peerPort, ""},
        {IpProtocol::udp, 5353, "224.0.0.251"},
    };
    const FirewallFinding finding = probes.firewall
                                        ? probes.firewall(firewallPorts, interfaceName, address)
                                        : FirewallFinding{};
    switch (finding.kind) {
    case FirewallFinding::Kind::none:
        checks.push_back({"güvenlik duvarı", true, "gelen bağlantıları süzen kural yok", ""});
        break;
    case FirewallFinding::Kind::unreadable:
        checks.push_back({"güvenlik duvarı", false,
                          "kurallar okunamadı (yönetici yetkisi gerekiyor)", finding.fix});
        break;
    default:
        if (finding.closed.empty()) {
            checks.push_back({"güvenlik duvarı", true,
                              finding.name + " etkin; " + portList(firewallPorts) + " açık", ""});
        } else {
            checks.push_back(
                {"güvenlik duvarı", false,
                 finding.name + " kapatıyor: " + portList(finding.closed) +
                     (finding.decidedBy.empty() ? std::string() : " (" + finding.decidedBy + ")"),
                 finding.fix});
        }
        break;
    }

    const EventBackendStatus events = probes.events ? probes.events() : EventBackendStatus{};
    if (events.isTrusted) {
        checks.push_back({"olay sistemi", true, events.name + ": olaylar gönderilebiliyor", ""});
    } else {
        checks.push_back(
            {"olay sistemi", false,
             (events.name.empty() ? std::string("yok") : events.name) +
                 (events.problem.empty() ? std::string(": izin yok") : ": " + events.problem),
             events.fix});
    }

    const auto secrets =
        probes.secrets
            ? probes.secrets()
            : std::expected<std::string, std::string>(std::unexpected(std::string("denenmedi")));
    if (secrets) {
        checks.push_back({"anahtar deposu", true, *secrets + " yanıt veriyor", ""});
    } else {
        checks.push_back({"anahtar deposu", false, secrets.error(),
                          "gnome-keyring'i başlatın (gnome-keyring-daemon --start "
                          "--components=secrets) ya da ravnix'i --secret-store=file ile "
                          "çalıştırın"});
    }
    return checks;
}

// ---------------------------------------------------------------- system probes

AdvertisedServices browseOwnServices(DnsSd& dnsSd, const std::string& macIdentifier,
                                     std::chrono::milliseconds limit) {
    AdvertisedServices result;
    auto queue = DispatchQueue::create("com.belvor.ravnix.doctor");
    if (!queue) {
        result.daemonProblem = queue.error().text();
        return result;
    }
    struct Shared {
        std::mutex resultLock; // guards everything below
        std::condition_variable changed;
        std::optional<bool> available;
        std::string problem;
        std::optional<std::uint16_t> pairingPort;
        std::optional<std::uint16_t> peerPort;
        std::vector<DnsSd::OperationHandle> resolves;
    };
    auto shared = std::make_shared<Shared>();
    std::vector<DnsSd::OperationHandle> operations;

    auto watched = dnsSd.watchAvailability(**queue, [shared](const DnsSd::Availability& now) {
        std::lock_guard lock(shared->resultLock);
        shared->available = now.isAvailable;
        shared->problem = now.reason ? now.reason->text() : std::string();
        shared->changed.notify_all();
    });
    if (!watched) {
        result.daemonProblem = watched.error().text();
        return result;
    }
    operations.push_back(std::move(*watched));

    DispatchQueue& serial = **queue;
    for (const char* type : {pairingType, peerType}) {
        const bool isPairing = std::string_view(type) == pairingType;
        auto browsing = dnsSd.browse(
            type, "", true, serial,
            [shared, &dnsSd, &serial, macIdentifier, isPairing](const DnsSd::BrowseEvent& event) {
                if (event.kind != DnsSd::BrowseEvent::Kind::found || !event.txt) {
                    return;
                }
                const auto mac = event.txt->find("mac");
                if (mac == event.txt->end() || mac->second != macIdentifier) {
                    return;
                }
                auto resolving = dnsSd.resolve(
                    event.service, serial,
                    [shared, isPairing](std::expected<HostEndpoint, NetworkError> answer) {
                        if (!answer) {
                            return;
                        }
                        std::lock_guard lock(shared->resultLock);
                        (isPairing ? shared->pairingPort : shared->peerPort) = answer->port;
                        shared->changed.notify_all();
                    });
                if (resolving) {
                    std::lock_guard lock(shared->resultLock);
                    shared->resolves.push_back(std::move(*resolving));
                }
            });
        if (browsing) {
            operations.push_back(std::move(*browsing));
        }
    }

    {
        std::unique_lock lock(shared->resultLock);
        shared->changed.wait_for(lock, limit, [&] {
            return (shared->available && !*shared->available) ||
                   (shared->pairingPort && shared->peerPort);
        });
        result.daemonReachable = shared->available.value_or(false);
        result.daemonProblem = shared->available ? shared->problem : "yanıt gelmedi";
        result.pairingPort = shared->pairingPort;
        result.peerPort = shared->peerPort;
    }
    // Withdraw everything on the queue, where the events run, so none runs afterwards.
    std::promise<void> withdrawn;
    serial.async([&] {
        operations.clear();
        std::vector<DnsSd::OperationHandle> resolves;
        {
            std::lock_guard lock(shared->resultLock);
            resolves.swap(shared->resolves);
        }
        resolves.clear();
        withdrawn.set_value();
    });
    withdrawn.get_future().wait();
    return result;
}

bool tableHasPort(std::string_view table, IpProtocol protocol, std::uint16_t port) {
    // "  sl  local_address rem_address   st ..." then "   0: 00000000:26CB 00000000:0000 07 ..."
    std::istringstream lines{std::string(table)};
    std::string line;
    std::getline(lines, line); // the header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (!(fields >> slot >> local >> remote >> state)) {
            continue;
        }
        const auto colon = local.rfind(':');
        unsigned value = 0;
        if (colon == std::string::npos ||
            std::from_chars(local.data() + colon + 1, local.data() + local.size(), value, 16).ec !=
                std::errc()) {
            continue;
        }
        // TCP counts only while listening (0A); a bound UDP socket shows 07.
        if (value == port && (protocol == IpProtocol::udp || state == "0A")) {
            return true;
        }
    }
    return false;
}

PortListening listeningOn(IpProtocol protocol, std::uint16_t port) {
    const auto read = [](const char* path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    };
    const bool udp = protocol == IpProtocol::udp;
    return {tableHasPort(read(udp ? "/proc/net/udp" : "/proc/net/tcp"), protocol, port),
            tableHasPort(read(udp ? "/proc/net/udp6" : "/proc/net/tcp6"), protocol, port)};
}

std::expected<std::chrono::nanoseconds, std::string>
pingTouchLink(std::uint16_t port, std::chrono::milliseconds limit) {
    auto socket = UDPSocket::create();
    if (!socket) {
        return std::unexpected(socket.error().text());
    }
    auto to = SocketAddress::make("127.0.0.1", port);
    if (!to) {
        return std::unexpected(to.error().text());
    }
    (void)(*socket)->setReceiveTimeout(0.1);
    const std::uint32_t sequence = 0x5AFE;
    std::array<std::uint8_t, 64> buffer{};
    const std::uint64_t sentAt = MonotonicClock::now();
    const auto encoded =
        PacketCodec::encodeControl({PacketKind::ping, sequence, sentAt, 0}, buffer);
    if (!encoded) {
        return std::unexpected(std::string("ping kodlanamadı"));
    }
    if (auto sent = (*socket)->send(std::span(buffer.data(), *encoded), *to); !sent) {
        return std::unexpected(sent.error().text());
    }
    const std::uint64_t deadline =
        sentAt + static_cast<std::uint64_t>(std::chrono::nanoseconds(limit).count());
    while (MonotonicClock::now() < deadline) {
        auto received = (*socket)->receive(buffer);
        if (!received) {
            return std::unexpected(received.error().text());
        }
        if (!*received) {
            continue; // the short receive timeout: look at the deadline again
        }
        const auto pong = PacketCodec::decodeControl(std::span(buffer.data(), (*received)->count));
        if (pong && pong->kind == PacketKind::pong && pong->sequence == sequence) {
            return std::chrono::nanoseconds(MonotonicClock::now() - sentAt);
        }
    }
    return std::unexpected(std::string("yanıt gelmedi"));
}

} // namespace ravnix
