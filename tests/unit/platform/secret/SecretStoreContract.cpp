#include "unit/platform/secret/SecretBackends.hpp"

namespace ravnix::test {
namespace {

constexpr auto accessibility = SecretAccessibility::afterFirstUnlockThisDeviceOnly;

TEST_P(SecretStoreContract, UpdateNeedsAnItemAndAddRefusesAnExistingOne) {
    const SecretItemAddress item{service, "v1"};
    EXPECT_EQ(store->read(item), (SecretReadResult{SecretStatusCode::itemNotFound, {}}));
    EXPECT_EQ(store->update(item, bytesOf("[]")), SecretStatusCode::itemNotFound);
    EXPECT_EQ(store->read(item).status, SecretStatusCode::itemNotFound) << "update created it";

    // Any bytes, NUL and non-UTF-8 included, come back as they went in.
    const std::vector<std::uint8_t> binary = {0x00, 0xFF, 0x7B, 0x00, 0x80, 0x0A};
    ASSERT_EQ(store->add(item, binary, accessibility), SecretStatusCode::success);
    EXPECT_EQ(store->read(item), (SecretReadResult{SecretStatusCode::success, binary}));
    EXPECT_EQ(store->add(item, bytesOf("other"), accessibility), SecretStatusCode::duplicateItem);
    EXPECT_EQ(store->read(item).bytes, binary);

    ASSERT_EQ(store->update(item, bytesOf("[1]")), SecretStatusCode::success);
    EXPECT_EQ(store->read(item).bytes, bytesOf("[1]"));
    ASSERT_EQ(store->update(item, {}), SecretStatusCode::success);
    EXPECT_EQ(store->read(item), (SecretReadResult{SecretStatusCode::success, {}}));
}

TEST_P(SecretStoreContract, ServiceAndAccountTogetherAddressOneItem) {
    // Pairs that a careless joining or escaping of the two names would mix up.
    const std::vector<SecretItemAddress> items = {
        {service, "v1"},        {service, "v2"},      {service + ".probe", "v1"},
        {service + "+a", "b"},  {service, "a+b"},     {service + "/..", "v1"},
        {service + "%2F", "x"}, {service + "/", "x"}, {service, ""},
        {service, "çalışma"},
    };
    for (std::size_t i = 0; i < items.size(); ++i) {
        ASSERT_EQ(store->add(items[i], bytesOf(std::to_string(i)), accessibility),
                  SecretStatusCode::success)
            << items[i].service << " / " << items[i].account;
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(store->read(items[i]).bytes, bytesOf(std::to_string(i)))
            << items[i].service << " / " << items[i].account;
    }
}

} // namespace
} // namespace ravnix::test
