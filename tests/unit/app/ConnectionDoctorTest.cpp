#include "app/ConnectionDoctor.hpp"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace ravnix {
namespace {

using namespace std::chrono_literals;

// A machine where everything is in order; each test breaks one thing.
DoctorProbes healthy() {
    DoctorProbes probes;
    probes.interfaces = [] {
        return std::vector<InterfaceAddress>{{"lo", AF_INET, "127.0.0.1"},
                                             {"wlan0", AF_INET, "192.168.1.20"}};
    };
    probes.advertised = [](const std::string& mac) {
        EXPECT_EQ(mac, "MAC-1");
        return AdvertisedServices{true, "", 9932, 9933};
    };
    probes.listening = [](IpProtocol, std::uint16_t) { return PortListening{true, true}; };
    probes.ping = [](std::uint16_t port) -> std::expected<std::chrono::nanoseconds, std::string> {
        EXPECT_EQ(port, 9931);
        return 250us;
    };
    probes.firewall = [](std::span<const FirewallPort>, const std::string&, const std::string&) {
        return FirewallFinding{FirewallFinding::Kind::ufw, "ufw", {}, "", ""};
    };
    probes.events = [] { return EventBackendStatus{"x11", true, "", ""}; };
    probes.secrets = []() -> std::expected<std::string, std::string> { return "Secret Service"; };
    return probes;
}

const DoctorSettings settings{9931, 9932, 9933, "MAC-1"};

const DoctorCheck& named(const std::vector<DoctorCheck>& checks, const std::string& name) {
    for (const auto& check : checks) {
        if (check.name == name) {
            return check;
        }
    }
    ADD_FAILURE() << "no check " << name;
    return checks.front();
}

TEST(ConnectionDoctor, EveryCheckPassesOnAHealthyMachine) {
    DoctorProbes probes = healthy();
    std::vector<FirewallPort> asked;
    std::string arrival;
    probes.firewall = [&](std::span<const FirewallPort> ports, const std::string& interfaceName,
                          const std::string& address) {
        asked.assign(ports.begin(), ports.end());
        arrival = interfaceName + " " + address;
        return FirewallFinding{FirewallFinding::Kind::ufw, "ufw", {}, "", ""};
    };
    const auto checks = runDoctor(settings, probes);
    // The firewall is asked about our three ports and mDNS, arriving where a phone's would.
    EXPECT_EQ(asked, (std::vector<FirewallPort>{{IpProtocol::udp, 9931, ""},
                                                {IpProtocol::tcp, 9932, ""},
                                                {IpProtocol::udp, 9933, ""},
                                                {IpProtocol::udp, 5353, "224.0.0.251"}}));
    EXPECT_EQ(arrival, "wlan0 192.168.1.20");
    std::vector<std::string> names;
    for (const auto& check : checks) {
        names.push_back(check.name);
        EXPECT_TRUE(check.passed) << doctorLine(check);
        EXPECT_TRUE(check.fix.empty());
    }
    EXPECT_EQ(names,
              (std::vector<std::string>{"ağ", "avahi", "duyuru", "portlar", "ping",
                                        "güvenlik duvarı", "olay sistemi", "anahtar deposu"}));
    EXPECT_EQ(doctorLine(checks[0]), "[tamam] ağ: 192.168.1.20 (wlan0)");
    EXPECT_EQ(doctorLine(checks[4]), "[tamam] ping: 127.0.0.1:9931 yanıt verdi (0.25 ms)");
}

TEST(ConnectionDoctor, EachFaultFailsItsOwnLineAndNamesTheFix) {
    struct Case {
        const char* what;
        std::function<void(DoctorProbes&)> breakIt;
        std::string failing;
        std::string fixContains;
    };
    const std::vector<Case> cases{
        {"no address",
         [](DoctorProbes& p) {
             p.interfaces = [] {
                 return std::vector<InterfaceAddress>{{"lo", AF_INET, "127.0.0.1"}};
             };
         },
         "ağ", "nmcli"},
        {"avahi stopped",
         [](DoctorProbes& p) {
             p.advertised = [](const std::string&) {
                 return AdvertisedServices{false, "Daemon not running", {}, {}};
             };
         },
         "avahi", "sudo systemctl enable --now avahi-daemon"},
        {"not advertised",
         [](DoctorProbes& p) {
             p.advertised = [](const std::string&) {
                 return AdvertisedServices{true, "", 9932, {}};
             };
         },
         "duyuru", "ravnix'i başlatın"},
        {"pairing port taken",
         [](DoctorProbes& p) {
             p.advertised = [](const std::string&) {
                 return AdvertisedServices{true, "", 41234, 9933};
             };
         },
         "portlar", "sudo ss -lntup 'sport = :9932'"},
        {"touch port unbound",
         [](DoctorProbes& p) {
             p.listening = [](IpProtocol protocol, std::uint16_t port) {
                 return protocol == IpProtocol::udp && port == 9931 ? PortListening{}
                                                                    : PortListening{true, false};
             };
         },
         "portlar", "ravnix'i başlatın"},
        {"no pong",
         [](DoctorProbes& p) {
             p.ping = [](std::uint16_t) -> std::expected<std::chrono::nanoseconds, std::string> {
                 return std::unexpected(std::string("yanıt gelmedi"));
             };
         },
         "ping", "ravnix'i başlatın"},
        {"firewall drops touch",
         [](DoctorProbes& p) {
             p.firewall = [](std::span<const FirewallPort> ports, const std::string&,
                             const std::string&) {
                 return FirewallFinding{FirewallFinding::Kind::nftables,
                                        "nftables",
                                        {ports[0]},
                                        "nft inet t/input #3",
                                        "sudo nft insert rule inet t input udp dport 9931 accept"};
             };
         },
         "güvenlik duvarı", "sudo nft insert rule inet t input udp dport 9931 accept"},
        {"events not trusted",
         [](DoctorProbes& p) {
             p.events = [] {
                 return EventBackendStatus{"none", false, "ekran yok", "DISPLAY'i ayarlayın"};
             };
         },
         "olay sistemi", "DISPLAY'i ayarlayın"},
        {"no secret store",
         [](DoctorProbes& p) {
             p.secrets = []() -> std::expected<std::string, std::string> {
                 return std::unexpected(std::string("Secret Service yok"));
             };
         },
         "anahtar deposu", "--secret-store=file"},
    };
    for (const auto& one : cases) {
        DoctorProbes probes = healthy();
        one.breakIt(probes);
        const auto checks = runDoctor(settings, probes);
        std::size_t failed = 0;
        for (const auto& check : checks) {
            failed += check.passed ? 0 : 1;
        }
        const auto& check = named(checks, one.failing);
        EXPECT_FALSE(check.passed) << one.what;
        EXPECT_NE(check.fix.find(one.fixContains), std::string::npos) << one.what;
        EXPECT_TRUE(doctorLine(check).ends_with(". Çözüm: " + check.fix)) << doctorLine(check);
        // A stopped daemon also hides our advertisements; every other fault stays on its line.
        EXPECT_EQ(failed, std::string(one.what) == "avahi stopped" ? 2u : 1u) << one.what;
    }
}

TEST(ConnectionDoctor, ReadsBoundPortsFromTheKernelTables) {
    const std::string udp =
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid\n"
        "   5: 00000000:26CB 00000000:0000 07 00000000:00000000 00:00000000 00000000  1000\n";
    const std::string tcp =
        "  sl  local_address rem_address   st tx_queue\n"
        "   0: 0100007F:26CC 0100007F:9C40 01 00000000:00000000\n" // a connection, not listening
        "   1: 00000000:26CD 00000000:0000 0A 00000000:00000000\n";
    EXPECT_TRUE(tableHasPort(udp, IpProtocol::udp, 9931));
    EXPECT_FALSE(tableHasPort(udp, IpProtocol::udp, 9932));
    EXPECT_FALSE(tableHasPort(tcp, IpProtocol::tcp, 9932));
    EXPECT_TRUE(tableHasPort(tcp, IpProtocol::tcp, 9933));

    // And the real tables: a socket of our own on a port the system picked.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::uint16_t port = ntohs(address.sin_port);
    EXPECT_TRUE(listeningOn(IpProtocol::udp, port).ipv4);
    ::close(fd);
    EXPECT_FALSE(listeningOn(IpProtocol::udp, port).ipv4);
}

} // namespace
} // namespace ravnix
