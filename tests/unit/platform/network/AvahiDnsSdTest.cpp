#include "platform/network/AvahiDnsSd.hpp"

#include "DnsSdContract.hpp"
#include "support/TestService.hpp"

#include <cstdlib>

// ThreadSanitizer: libdbus takes two of its own locks in one order when avahi-client connects
// and in the other when it disconnects, on one thread here; libdbus's locking is not ours to
// judge, so its lock-order reports are left out. Used only by sanitizer builds.
extern "C" const char* __tsan_default_suppressions() {
    return "deadlock:libdbus-1.so\n";
}

namespace ravnix::test {
namespace {

// The daemon of the avahi test service; the test skips with its reason when there is none.
std::shared_ptr<DnsSd> avahiBackend(std::string& skipReason) {
    const auto service = loadTestService("avahi");
    if (!service.isAvailable()) {
        skipReason = "avahi: " + service.skipReason;
        return nullptr;
    }
    // libdbus reads the bus address when the client connects.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", service["DBUS_SYSTEM_BUS_ADDRESS"].c_str(), 1);
    auto created = AvahiDnsSd::create();
    if (!created) {
        ADD_FAILURE() << "the avahi service runs but the client cannot reach it: "
                      << created.error().text();
        return nullptr;
    }
    return *created;
}

INSTANTIATE_TEST_SUITE_P(Avahi, DnsSdContract,
                         ::testing::Values(DnsSdBackend{"avahi", avahiBackend}), backendName);

} // namespace
} // namespace ravnix::test
