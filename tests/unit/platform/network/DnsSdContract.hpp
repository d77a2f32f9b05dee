#pragma once
// The behaviour every DnsSd backend owes the listeners, browsers and connections above it.
// DnsSdContractTest.cpp holds the tests; each backend's test file instantiates them.

#include "platform/network/DnsSd.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <ostream>
#include <string>

namespace ravnix::test {

struct DnsSdBackend {
    std::string name;
    // Makes the backend, or says in `skipReason` why it cannot be had here.
    std::function<std::shared_ptr<DnsSd>(std::string& skipReason)> make;
};

class DnsSdContract : public ::testing::TestWithParam<DnsSdBackend> {
  protected:
    void SetUp() override {
        std::string skipReason;
        dnsSd = GetParam().make(skipReason);
        if (!skipReason.empty()) {
            GTEST_SKIP() << skipReason;
        }
        ASSERT_TRUE(dnsSd) << "no " << GetParam().name << " backend";
    }
    std::shared_ptr<DnsSd> dnsSd;
};

// Test names show the backend, not the bytes of the parameter.
inline void PrintTo(const DnsSdBackend& backend, std::ostream* out) {
    *out << backend.name;
}

inline std::string backendName(const ::testing::TestParamInfo<DnsSdBackend>& info) {
    return info.param.name;
}

} // namespace ravnix::test
