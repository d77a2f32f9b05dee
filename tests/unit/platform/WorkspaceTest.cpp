#include "platform/Workspace.hpp"

#include <algorithm>
#include <cerrno>
#include <gtest/gtest.h>

namespace ravnix {
namespace {

TEST(Workspace, FileURIsEscapeEverythingButPlainCharacters) {
    EXPECT_EQ(fileURI("/home/ayse/.local/state/ravnix/hareket.csv"),
              "file:///home/ayse/.local/state/ravnix/hareket.csv");
    // Space, "ı" (two bytes), comma and percent; a comma would split the D-Bus array.
    EXPECT_EQ(fileURI("/tmp/a b/Kayıt,1%/x~y_z-1.csv"),
              "file:///tmp/a%20b/Kay%C4%B1t%2C1%25/x~y_z-1.csv");
}

TEST(Workspace, HelperCommandsNeedNoShell) {
    EXPECT_EQ(openCommand("https://example.org/a b;c"),
              (std::vector<std::string>{"xdg-open", "https://example.org/a b;c"}));

    const auto showItems = showItemsCommand("/tmp/a,b.csv");
    ASSERT_GE(showItems.size(), 5u);
    EXPECT_EQ(showItems.front(), "dbus-send");
    const auto has = [&](const std::string& argument) {
        return std::find(showItems.begin(), showItems.end(), argument) != showItems.end();
    };
    EXPECT_TRUE(has("--session"));
    EXPECT_TRUE(has("--print-reply")); // without it dbus-send does not wait for the answer
    EXPECT_TRUE(has("--dest=org.freedesktop.FileManager1"));
    EXPECT_TRUE(has("/org/freedesktop/FileManager1"));
    EXPECT_TRUE(has("org.freedesktop.FileManager1.ShowItems"));
    // The two method arguments, last and in order: the items and the startup id.
    EXPECT_EQ(showItems[showItems.size() - 2], "array:string:file:///tmp/a%2Cb.csv");
    EXPECT_EQ(showItems.back(), "string:");
}

TEST(Workspace, DesktopRefusesTargetsThatLookLikeOptions) {
    auto workspace = DesktopWorkspace::create();
    ASSERT_TRUE(workspace) << workspace.error().text();
    for (const char* url : {"", "--help", "-x"}) {
        auto opened = (*workspace)->openURL(url);
        ASSERT_FALSE(opened) << url;
        EXPECT_EQ(opened.error().code, EINVAL);
    }
    EXPECT_FALSE((*workspace)->revealFile(""));
}

} // namespace
} // namespace ravnix
