#include "platform/Paths.hpp"

#include "TemporaryFolder.hpp"

#include <cerrno>
#include <gtest/gtest.h>

namespace ravnix {
namespace {

namespace fs = std::filesystem;
using test::modeOf;

TEST(Paths, AbsoluteXdgVariablesWinAndOthersFallBackToHome) {
    const Paths paths(PathEnvironment{"/home/ayse", "/srv/config", "relative/state", ""});
    EXPECT_EQ(paths.configFolder(), "/srv/config/ravnix");
    EXPECT_EQ(paths.logFolder(), "/home/ayse/.local/state/ravnix");  // relative: invalid
    EXPECT_EQ(paths.dataFolder(), "/home/ayse/.local/share/ravnix"); // empty: unset
    EXPECT_EQ(paths.keychainFolder(), "/home/ayse/.local/share/ravnix/keychain");
    EXPECT_EQ(paths.defaultsFile(), "/srv/config/ravnix/defaults.json");
    EXPECT_EQ(paths.domainsFile(), "/srv/config/ravnix/global.json");
    EXPECT_EQ(paths.clickLogFile(), "/home/ayse/.local/state/ravnix/tiklama.log");

    const Paths defaults(PathEnvironment{"/home/ayse", "", "", "/data"});
    EXPECT_EQ(defaults.configFolder(), "/home/ayse/.config/ravnix");
    EXPECT_EQ(defaults.dataFolder(), "/data/ravnix");
}

TEST(Paths, WithoutAnAbsoluteHomeOnlyXdgFoldersAreKnown) {
    const Paths paths(PathEnvironment{"home/ayse", "", "/state", ""});
    EXPECT_TRUE(paths.configFolder().empty());
    EXPECT_TRUE(paths.defaultsFile().empty());
    EXPECT_EQ(paths.logFolder(), "/state/ravnix");
    auto made = paths.makeConfigFolder();
    ASSERT_FALSE(made);
    EXPECT_EQ(made.error().code, ENOENT);
}

TEST(Paths, FoldersAreMadePrivateOnFirstUse) {
    test::TemporaryFolder home;
    const Paths paths(PathEnvironment{home.path().string(), "", "", ""});

    auto keychain = paths.makeKeychainFolder();
    ASSERT_TRUE(keychain) << keychain.error().text();
    EXPECT_EQ(*keychain, home.path() / ".local/share/ravnix/keychain");
    for (const auto& folder : {*keychain, paths.dataFolder(), home.path() / ".local/share"}) {
        EXPECT_EQ(modeOf(folder), 0700u) << folder;
    }
    auto logs = paths.makeLogFolder();
    ASSERT_TRUE(logs);
    EXPECT_TRUE(fs::is_directory(*logs));

    // A file where a folder should be.
    std::ofstream(home.path() / ".config") << "not a folder";
    auto blocked = paths.makeConfigFolder();
    ASSERT_FALSE(blocked);
    EXPECT_EQ(blocked.error().code, ENOTDIR);
}

} // namespace
} // namespace ravnix
