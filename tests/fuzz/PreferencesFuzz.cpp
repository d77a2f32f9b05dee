// The preferences files over arbitrary bytes: the input is written as both the values file
// and the domains file, then read through FilePreferences. Besides not crashing: every value
// that loads must survive a save (one value written back rewrites the whole file) and a
// fresh load unchanged, and the saved file must load without a problem.

#include "platform/FilePreferences.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace ravnix;
using Json = nlohmann::json;

namespace {

// Bounds per input, so one large object does not turn into thousands of file reads.
constexpr std::size_t keysChecked = 64;
constexpr std::size_t domainLookups = 8;
constexpr const char* marker = "fuzz.marker";

// One folder per process, on tmpfs when there is one: every save syncs the file and its
// folder, which costs nothing there.
struct Folder {
    std::filesystem::path path;
    Folder() {
        for (const char* base : {"/dev/shm", "/tmp"}) {
            std::string pattern = std::string(base) + "/ravnix-prefs-fuzz-XXXXXX";
            if (mkdtemp(pattern.data()) != nullptr) {
                path = pattern;
                return;
            }
        }
        std::abort();
    }
    ~Folder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
};

void write(const std::filesystem::path& file, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Folder folder;
    const auto values = folder.path / "defaults.json";
    const auto domains = folder.path / "global.json";
    write(values, data, size);
    write(domains, data, size);

    // The harness's own reading gives the keys to ask for; the store has no listing.
    const Json parsed = Json::parse(data, data + size, nullptr, /*allow_exceptions=*/false);
    std::vector<std::string> keys;
    if (parsed.is_object()) {
        for (auto entry = parsed.begin(); entry != parsed.end() && keys.size() < keysChecked;
             ++entry) {
            if (entry.key() != marker) {
                keys.push_back(entry.key());
            }
        }
    }

    std::vector<std::optional<PreferenceValue>> loaded;
    std::optional<std::pair<std::string, PreferenceValue>> writeBack;
    {
        FilePreferences preferences(values, domains);
        for (const std::string& key : keys) {
            loaded.push_back(preferences.value(key));
            if (!writeBack && loaded.back()) {
                writeBack.emplace(key, *loaded.back());
            }
        }
        (void)preferences.value(marker);

        std::size_t lookups = 0;
        (void)preferences.domainValue(Preferences::globalDomain, "x");
        if (parsed.is_object()) {
            for (const auto& [domain, suite] : parsed.items()) {
                if (!suite.is_object()) {
                    continue;
                }
                for (const auto& [key, ignored] : suite.items()) {
                    if (++lookups > domainLookups) {
                        break;
                    }
                    (void)preferences.domainValue(domain, key);
                }
            }
        }

        // Saving rewrites every entry, not just the one set.
        auto saved = writeBack ? preferences.setValue(writeBack->first, writeBack->second)
                               : preferences.setValue(marker, PreferenceValue(true));
        if (!saved) {
            std::fprintf(stderr, "saving a loaded value failed: %s\n",
                         saved.error().text().c_str());
            std::abort();
        }
    }

    FilePreferences reloaded(values, domains);
    if (reloaded.loadProblem()) {
        std::fprintf(stderr, "the saved file does not load: %s\n",
                     reloaded.loadProblem()->text().c_str());
        std::abort();
    }
    for (std::size_t i = 0; i < keys.size(); ++i) {
        if (reloaded.value(keys[i]) != loaded[i]) {
            std::fprintf(stderr, "value of \"%s\" changed across a save\n", keys[i].c_str());
            std::abort();
        }
    }
    if (!writeBack && reloaded.boolValue(marker) != std::optional(true)) {
        std::abort();
    }
    return 0;
}
