#pragma once
// Reads what a service fixture (tests/support/<name>.sh) left for the tests: its settings,
// or why it could not start. Use RAVNIX_REQUIRE_SERVICE at the top of a test.

#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>

namespace ravnix::test {

struct TestService {
    std::map<std::string, std::string> values;
    std::string skipReason;

    bool isAvailable() const { return skipReason.empty(); }
    std::string operator[](const std::string& key) const {
        const auto found = values.find(key);
        return found == values.end() ? std::string() : found->second;
    }
};

inline TestService loadTestService(const std::string& name) {
    TestService service;
    std::ifstream file(std::string(RAVNIX_TEST_SERVICE_DIR) + "/" + name + ".env");
    if (!file) {
        service.skipReason =
            "the " + name + " service was not started (run the test through ctest)";
        return service;
    }
    std::string line;
    while (std::getline(file, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        service.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    if (const auto skip = service.values.find("SKIP"); skip != service.values.end()) {
        service.skipReason = skip->second.empty() ? "unavailable" : skip->second;
    }
    return service;
}

} // namespace ravnix::test

#define RAVNIX_REQUIRE_SERVICE(variable, name)                                                     \
    const ::ravnix::test::TestService variable = ::ravnix::test::loadTestService(name);            \
    if (!variable.isAvailable()) {                                                                 \
        GTEST_SKIP() << (name) << ": " << variable.skipReason;                                     \
    }
