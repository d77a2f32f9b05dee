#pragma once
// Preferences kept in JSON files.
//
// The application's own values: one JSON object of key → value in `defaults.json`, read once
// at construction, rewritten atomically on every change. JSON numbers (with or without a
// fraction) are doubles. A null inside an object is as if the key were missing; an array that
// holds a null cannot be represented and reads as absent. Entries that cannot be represented
// are kept in the file as they are.
//
// Other domains: `global.json`, read on every domainValue() call and never written. Its top
// level is an object of domain → object of key → value; the desktop-wide domain is "global":
//   { "global": { "com.apple.trackpad.scaling": 0.6875 },
//     "com.apple.symbolichotkeys": { "AppleSymbolicHotKeys": { "36": { "enabled": true,
//         "value": { "parameters": [65535, 103, 8388608] } } } } }
// A missing or unreadable file, or one of another shape, means every value is absent.

#include "platform/Paths.hpp"
#include "platform/Preferences.hpp"

#include <filesystem>
#include <memory>
#include <mutex>

namespace ravnix {

class FilePreferences final : public Preferences {
  public:
    // Reads `valuesFile` now. A missing file is empty. A file that is not a JSON object is
    // corrupt: it is renamed to "<name>.corrupt" (replacing an older one) and reads as empty.
    // When an existing file can be neither read nor set aside, every write fails with that
    // problem instead of replacing the file.
    FilePreferences(std::filesystem::path valuesFile, std::filesystem::path domainsFile);
    // defaultsFile() and domainsFile() of `paths`.
    explicit FilePreferences(const Paths& paths);
    ~FilePreferences() override;
    FilePreferences(const FilePreferences&) = delete;
    FilePreferences& operator=(const FilePreferences&) = delete;

    // What went wrong while loading, if anything (a corrupt file, or one that could not be read).
    std::optional<PlatformError> loadProblem() const;

    std::optional<PreferenceValue> value(std::string_view key) const override;
    // Creates the folder (0700) when needed; the file is written with mode 0600.
    std::expected<void, PlatformError> setValue(std::string_view key,
                                                PreferenceValue value) override;
    std::expected<void, PlatformError> removeValue(std::string_view key) override;
    std::optional<PreferenceValue> domainValue(std::string_view domain,
                                               std::string_view key) const override;

  private:
    struct Document; // the parsed values, kept away from this header

    // Needs storeLock: writes the document, or reports why it may not be written.
    std::expected<void, PlatformError> saveLocked();

    const std::filesystem::path valuesFile;
    const std::filesystem::path domainsFile;

    // Guards the document and the file together: a save happens under it, so the file always
    // follows the order of the changes. Saves are rare (a setting changed by the user).
    mutable std::mutex storeLock;
    std::unique_ptr<Document> document;
    std::optional<PlatformError> problem;       // from loading; constant afterwards
    std::optional<PlatformError> blockedWrites; // from loading; constant afterwards
};

} // namespace ravnix
