#pragma once
// firewalld asked over the system D-Bus (org.fedoraproject.FirewallD1): the zone of an
// interface and whether it opens our ports. Answers nothing when firewalld is not running.

#include "platform/firewall/Firewall.hpp"

namespace ravnix {

std::optional<FirewalldAnswer> queryFirewalldOverBus(const std::string& interfaceName,
                                                     std::span<const FirewallPort> ports);

} // namespace ravnix
