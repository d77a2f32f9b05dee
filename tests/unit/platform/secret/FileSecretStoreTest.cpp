#include "unit/platform/secret/SecretBackends.hpp"

#include <filesystem>
#include <unistd.h>

namespace ravnix::test {
namespace {

namespace fs = std::filesystem;
constexpr auto accessibility = SecretAccessibility::afterFirstUnlockThisDeviceOnly;

INSTANTIATE_TEST_SUITE_P(Backends, SecretStoreContract,
                         testing::Values(memoryBackend(), fileBackend()), secretBackendName);

std::vector<fs::path> filesUnder(const fs::path& folder) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (!entry.is_directory()) {
            files.push_back(entry.path());
        }
    }
    return files;
}

TEST(FileSecretStore, KeepsItsFolderAndFilesPrivate) {
    FileBackend backend;
    const fs::path folder = backend.paths.keychainFolder();
    fs::create_directories(folder);
    fs::permissions(folder, fs::perms(0755));

    const SecretItemAddress item{"com.belvor.ravnix.pairings", "v1"};
    const SecretItemAddress escaping{"../../../outside", "/etc/passwd"};
    ASSERT_EQ(backend.files->add(item, bytesOf("[]"), accessibility), SecretStatusCode::success);
    ASSERT_EQ(backend.files->add(escaping, bytesOf("x"), accessibility), SecretStatusCode::success);
    EXPECT_EQ(modeOf(folder), 0700u) << "an older, wider folder is narrowed";
    EXPECT_EQ(modeOf(backend.files->itemFile(item)), 0600u);

    fs::permissions(backend.files->itemFile(item), fs::perms(0644));
    ASSERT_EQ(backend.files->update(item, bytesOf("[1]")), SecretStatusCode::success);
    EXPECT_EQ(modeOf(backend.files->itemFile(item)), 0600u);

    // Two items, two files, both inside the folder, and no temporary file left behind.
    const auto files = filesUnder(backend.folder.path());
    ASSERT_EQ(files.size(), 2u);
    for (const fs::path& file : files) {
        EXPECT_EQ(file.parent_path(), folder);
        EXPECT_EQ(file.extension(), ".secret");
    }
}

TEST(FileSecretStore, ACrashBeforeTheRenameLeavesTheOldItemWhole) {
    // "fast": the child is a fork that shares this test's folder (the "threadsafe" style would
    // run the test from the start in a new process, with a folder of its own).
    GTEST_FLAG_SET(death_test_style, "fast");
    FileBackend backend;
    const SecretItemAddress item{"com.belvor.ravnix.pairings", "v1"};
    const SecretItemAddress added{"com.belvor.ravnix.pairings", "v2"};
    const std::string newBytes(200'000, 'n');
    ASSERT_EQ(backend.files->add(item, bytesOf("old"), accessibility), SecretStatusCode::success);

    // The child process dies where a power cut would hurt most: new bytes written and synced,
    // not yet in place.
    FileSecretStore crashing(backend.paths, [](const fs::path&) { ::_exit(7); });
    EXPECT_EXIT(crashing.update(item, bytesOf(newBytes)), testing::ExitedWithCode(7), "");
    EXPECT_EXIT(crashing.add(added, bytesOf(newBytes), accessibility), testing::ExitedWithCode(7),
                "");

    EXPECT_EQ(backend.files->read(item).bytes, bytesOf("old"));
    EXPECT_EQ(backend.files->read(added).status, SecretStatusCode::itemNotFound);
    int leftovers = 0;
    for (const fs::path& file : filesUnder(backend.paths.keychainFolder())) {
        if (file != backend.files->itemFile(item)) {
            EXPECT_EQ(fs::file_size(file), newBytes.size()) << "the child had written everything";
            ++leftovers;
        }
    }
    EXPECT_EQ(leftovers, 2);

    ASSERT_EQ(backend.files->update(item, bytesOf("new")), SecretStatusCode::success);
    EXPECT_EQ(backend.files->read(item).bytes, bytesOf("new"));
}

} // namespace
} // namespace ravnix::test
