#include "support/FakeDnsSd.hpp"

#include "DnsSdContract.hpp"

namespace ravnix::test {
namespace {

INSTANTIATE_TEST_SUITE_P(
    Fake, DnsSdContract,
    ::testing::Values(DnsSdBackend{
        "fake", [](std::string&) { return std::shared_ptr<DnsSd>(FakeDnsSd::create()); }}),
    backendName);

TEST(FakeDnsSd, AlternativeNamesCountUp) {
    EXPECT_EQ(alternativeServiceName("Mac"), "Mac #2");
    EXPECT_EQ(alternativeServiceName("Mac #2"), "Mac #3");
    EXPECT_EQ(alternativeServiceName("Mac #9"), "Mac #10");
    EXPECT_EQ(alternativeServiceName("Mac #"), "Mac # #2");
    EXPECT_EQ(alternativeServiceName("Mac #x"), "Mac #x #2");
}

} // namespace
} // namespace ravnix::test
