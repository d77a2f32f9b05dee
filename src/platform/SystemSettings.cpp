#include "platform/SystemSettings.hpp"

#include "domain/UUID.hpp"

#include <algorithm>
#include <cmath>

namespace ravnix {

double readSystemScale(const Preferences& preferences) {
    const auto value =
        preferences.domainValue(Preferences::globalDomain, "com.apple.trackpad.scaling");
    const auto scaling = value ? value->asDouble() : std::nullopt;
    if (!scaling || !std::isfinite(*scaling)) {
        return 1.0;
    }
    return std::clamp(*scaling / 0.6875, 0.25, 3.0);
}

std::string loadMacIdentifier(Preferences& preferences) {
    if (auto stored = preferences.stringValue("macIdentifier")) {
        return *stored;
    }
    const auto uuid = UUID::random();
    // Without randomness the identifier cannot be made unique; an empty one is not stored so
    // that the next start tries again.
    if (!uuid) {
        return {};
    }
    std::string identifier = uuid->uuidString();
    (void)preferences.setValue("macIdentifier", identifier);
    return identifier;
}

} // namespace ravnix
