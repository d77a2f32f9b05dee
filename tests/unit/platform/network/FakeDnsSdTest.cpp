#include "support/FakeDnsSd.hpp"

#include "DnsSdContract.hpp"

namespace ravnix::test {
namespace {

INSTANTIATE_TEST_SUITE_P(
    Fake, DnsSdContract,
    ::testing::Values(DnsSdBackend{
        "fake", [](std::string&) { return std::shared_ptr<DnsSd>(FakeDnsSd::create()); }}),
    backendName);

} // namespace
} // namespace ravnix::test
