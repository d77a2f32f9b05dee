#include "TemporaryFolder.hpp"
#include "platform/FilePreferences.hpp"

#include <atomic>
#include <cerrno>
#include <cmath>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

namespace ravnix {
namespace {

namespace fs = std::filesystem;
using Dictionary = PreferenceValue::Dictionary;
using Array = PreferenceValue::Array;
using test::modeOf;
using test::readText;

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

struct PreferenceFiles {
    test::TemporaryFolder temporary;
    fs::path folder = temporary.path() / "config" / "ravnix";
    fs::path values = folder / "defaults.json";
    fs::path domains = folder / "global.json";
    FilePreferences open() const { return FilePreferences(values, domains); }
};

TEST(FilePreferences, ValuesKeepTheirTypesAcrossInstances) {
    PreferenceFiles files;
    const PreferenceValue nested(Dictionary{
        {"enabled", true},
        {"parameters", Array{65535.0, 103.0, 8388608.0}},
        {"name", "Masaüstü"},
    });
    {
        auto preferences = files.open();
        ASSERT_TRUE(preferences.setValue("speedMultiplier", 1.5));
        ASSERT_TRUE(preferences.setValue("motionRecording", false));
        ASSERT_TRUE(preferences.setValue("macIdentifier", "6F1C9A2E-0000-4000-8000-00000000ABCD"));
        ASSERT_TRUE(preferences.setValue("binding", nested));
        ASSERT_TRUE(preferences.setValue("gone", 2.0));
        ASSERT_TRUE(preferences.removeValue("gone"));
        EXPECT_EQ(preferences.doubleValue("speedMultiplier"), 1.5); // read back from memory
    }
    // The folder did not exist: it is made private, and so is the file.
    EXPECT_EQ(modeOf(files.folder), 0700u);
    EXPECT_EQ(modeOf(files.values), 0600u);

    const auto reopened = files.open();
    EXPECT_FALSE(reopened.loadProblem());
    EXPECT_EQ(reopened.doubleValue("speedMultiplier"), 1.5);
    EXPECT_EQ(reopened.boolValue("motionRecording"), false);
    EXPECT_EQ(reopened.stringValue("macIdentifier"), "6F1C9A2E-0000-4000-8000-00000000ABCD");
    EXPECT_EQ(reopened.value("binding"), nested);
    EXPECT_FALSE(reopened.value("gone"));
}

TEST(FilePreferences, WrongTypesReadAsAbsent) {
    PreferenceFiles files;
    writeText(files.values, R"({
        "speedMultiplier": "1.5", "motionRecording": 1, "count": 3, "huge": 18446744073709551615,
        "flag": true, "nothing": null, "holes": [1, null], "sparse": {"a": null, "b": 2}
    })");
    auto preferences = files.open();
    EXPECT_FALSE(preferences.loadProblem());

    EXPECT_FALSE(preferences.doubleValue("speedMultiplier")); // text is not a number
    EXPECT_EQ(preferences.stringValue("speedMultiplier"), "1.5");
    EXPECT_FALSE(preferences.boolValue("motionRecording")); // a number is not a boolean
    EXPECT_EQ(preferences.doubleValue("motionRecording"), 1.0);
    EXPECT_EQ(preferences.doubleValue("count"), 3.0); // JSON integers are numbers
    EXPECT_EQ(preferences.doubleValue("huge"), 18446744073709551615.0);
    EXPECT_FALSE(preferences.doubleValue("flag")); // and a boolean is not a number
    EXPECT_FALSE(preferences.stringValue("count"));
    EXPECT_FALSE(preferences.arrayValue("sparse"));
    EXPECT_FALSE(preferences.value("nothing"));
    EXPECT_FALSE(preferences.value("holes"));
    EXPECT_EQ(preferences.dictionaryValue("sparse"), (Dictionary{{"b", 2.0}}));
    EXPECT_FALSE(preferences.value("missing"));

    // What cannot be represented is still kept in the file across a save.
    ASSERT_TRUE(preferences.setValue("speedMultiplier", 2.0));
    const auto saved = nlohmann::json::parse(readText(files.values));
    EXPECT_EQ(saved["holes"], nlohmann::json::parse("[1, null]"));
    EXPECT_EQ(saved["speedMultiplier"], 2.0);
}

TEST(FilePreferences, CorruptFileIsSetAsideAndNotOverwritten) {
    for (const std::string corrupt : {"{\"speedMultiplier\": 1.5", "[1, 2]", ""}) {
        SCOPED_TRACE(corrupt);
        PreferenceFiles files;
        writeText(files.values, corrupt);
        auto preferences = files.open();
        ASSERT_TRUE(preferences.loadProblem());
        EXPECT_EQ(preferences.loadProblem()->code, EBADMSG);
        EXPECT_FALSE(preferences.value("speedMultiplier"));

        const fs::path aside = files.folder / "defaults.json.corrupt";
        EXPECT_EQ(readText(aside), corrupt);
        ASSERT_TRUE(preferences.setValue("motionRecording", true));
        EXPECT_EQ(readText(aside), corrupt);
        EXPECT_EQ(files.open().boolValue("motionRecording"), true);
    }
}

TEST(FilePreferences, UnreadableFileIsNeverReplaced) {
    PreferenceFiles files;
    fs::create_directories(files.values); // a folder where the file should be: read fails
    auto preferences = files.open();
    ASSERT_TRUE(preferences.loadProblem());
    EXPECT_EQ(preferences.loadProblem()->code, EISDIR);

    auto written = preferences.setValue("speedMultiplier", 1.25);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), *preferences.loadProblem());
    EXPECT_EQ(preferences.doubleValue("speedMultiplier"), 1.25); // kept for this process
    EXPECT_TRUE(fs::is_directory(files.values));
}

TEST(FilePreferences, UnsavableValuesAreRefusedAndChangeNothing) {
    PreferenceFiles files;
    auto preferences = files.open();
    ASSERT_TRUE(preferences.setValue("speedMultiplier", 1.0));

    auto notANumber = preferences.setValue("speedMultiplier", std::nan(""));
    ASSERT_FALSE(notANumber);
    EXPECT_EQ(notANumber.error().code, EINVAL);
    auto infinite = preferences.setValue("list", Array{1.0, HUGE_VAL});
    ASSERT_FALSE(infinite);
    auto notUTF8 = preferences.setValue("speedMultiplier", std::string("\xff\xfe"));
    ASSERT_FALSE(notUTF8);
    EXPECT_EQ(notUTF8.error().code, EILSEQ);

    EXPECT_EQ(preferences.doubleValue("speedMultiplier"), 1.0);
    EXPECT_FALSE(preferences.value("list"));
    ASSERT_TRUE(preferences.setValue("motionRecording", true)); // saving still works
    EXPECT_EQ(files.open().doubleValue("speedMultiplier"), 1.0);
}

TEST(FilePreferences, ConcurrentWritesReplaceTheFileWhole) {
    PreferenceFiles files;
    auto preferences = files.open();
    ASSERT_TRUE(preferences.setValue("seed", true));

    // A reader that checks every version of the file it sees while four writers save.
    std::atomic<bool> writing{true};
    std::atomic<int> partialReads{0};
    std::thread reader([&] {
        for (int i = 0; i < 100000 && writing.load(); ++i) {
            const auto text = readText(files.values);
            if (!nlohmann::json::accept(text)) {
                ++partialReads;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 1; i <= 20; ++i) {
                EXPECT_TRUE(preferences.setValue("writer" + std::to_string(w), double(i)));
            }
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    writing = false;
    reader.join();

    EXPECT_EQ(partialReads.load(), 0);
    const auto reopened = files.open();
    for (int w = 0; w < 4; ++w) {
        EXPECT_EQ(reopened.doubleValue("writer" + std::to_string(w)), 20.0);
    }
    for (const auto& entry : fs::directory_iterator(files.folder)) {
        EXPECT_EQ(entry.path().filename(), "defaults.json"); // no temporary file left behind
    }
}

TEST(FilePreferences, OtherDomainsAreReadAfreshAndNeverTouched) {
    PreferenceFiles files;
    auto preferences = files.open();
    const std::string suite = "com.apple.symbolichotkeys";
    EXPECT_FALSE(preferences.domainValue(Preferences::globalDomain, "com.apple.trackpad.scaling"));

    writeText(files.domains, R"({
        "global": {"com.apple.trackpad.scaling": 0.6875},
        "com.apple.symbolichotkeys": {"AppleSymbolicHotKeys": {"36": {"enabled": false}}}
    })");
    auto scaling = preferences.domainValue(Preferences::globalDomain, "com.apple.trackpad.scaling");
    ASSERT_TRUE(scaling);
    EXPECT_EQ(scaling->asDouble(), 0.6875);
    auto hotKeys = preferences.domainValue(suite, "AppleSymbolicHotKeys");
    ASSERT_TRUE(hotKeys && hotKeys->asDictionary());
    EXPECT_EQ(hotKeys->asDictionary()->at("36"), PreferenceValue(Dictionary{{"enabled", false}}));
    // Keys of one domain are not found in another, nor among the application's own values.
    EXPECT_FALSE(preferences.domainValue(suite, "com.apple.trackpad.scaling"));
    EXPECT_FALSE(preferences.value("com.apple.trackpad.scaling"));

    writeText(files.domains, R"({"global": {"com.apple.trackpad.scaling": 1.5}})");
    EXPECT_EQ(preferences.domainValue(Preferences::globalDomain, "com.apple.trackpad.scaling")
                  ->asDouble(),
              1.5);

    writeText(files.domains, "{broken");
    EXPECT_FALSE(preferences.domainValue(Preferences::globalDomain, "com.apple.trackpad.scaling"));
    EXPECT_EQ(readText(files.domains), "{broken");
    EXPECT_FALSE(fs::exists(files.folder / "global.json.corrupt"));
}

} // namespace
} // namespace ravnix
