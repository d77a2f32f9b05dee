#include "platform/FilePreferences.hpp"

#include "platform/FileSystem.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace ravnix {

using Json = nlohmann::json;

struct FilePreferences::Document {
    Json values = Json::object();
};

namespace {
// Deeper documents are refused: converting and printing them recurses.
constexpr int deepestNesting = 64;

bool nestsDeeperThan(const Json& json, int limit) {
    if (!json.is_structured()) {
        return false;
    }
    if (limit == 0) {
        return true;
    }
    for (const auto& item : json) {
        if (nestsDeeperThan(item, limit - 1)) {
            return true;
        }
    }
    return false;
}

// Parses text that must hold a JSON object; anything else gives a discarded value.
Json parseObject(const std::string& text) {
    Json parsed = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!parsed.is_object() || nestsDeeperThan(parsed, deepestNesting)) {
        return Json(Json::value_t::discarded);
    }
    return parsed;
}

std::optional<PreferenceValue> fromJson(const Json& json) {
    switch (json.type()) {
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
        return PreferenceValue(json.get<double>());
    case Json::value_t::boolean:
        return PreferenceValue(json.get<bool>());
    case Json::value_t::string:
        return PreferenceValue(json.get_ref<const std::string&>());
    case Json::value_t::array: {
        PreferenceValue::Array items;
        items.reserve(json.size());
        for (const auto& item : json) {
            auto converted = fromJson(item);
            if (!converted) {
                return std::nullopt; // dropping it would move the later items
            }
            items.push_back(std::move(*converted));
        }
        return PreferenceValue(std::move(items));
    }
    case Json::value_t::object: {
        PreferenceValue::Dictionary entries;
        for (auto entry = json.begin(); entry != json.end(); ++entry) {
            if (auto converted = fromJson(entry.value())) {
                entries.emplace(entry.key(), std::move(*converted));
            }
        }
        return PreferenceValue(std::move(entries));
    }
    default: // null, binary, discarded
        return std::nullopt;
    }
}

// Absent for a number that JSON cannot hold (NaN, infinities).
std::optional<Json> toJson(const PreferenceValue& value) {
    if (auto number = value.asDouble()) {
        return std::isfinite(*number) ? std::optional<Json>(*number) : std::nullopt;
    }
    if (auto flag = value.asBool()) {
        return Json(*flag);
    }
    if (const auto* text = value.asString()) {
        return Json(*text);
    }
    if (const auto* items = value.asArray()) {
        Json array = Json::array();
        for (const auto& item : *items) {
            auto converted = toJson(item);
            if (!converted) {
                return std::nullopt;
            }
            array.push_back(std::move(*converted));
        }
        return array;
    }
    Json object = Json::object();
    for (const auto& [key, entry] : *value.asDictionary()) {
        auto converted = toJson(entry);
        if (!converted) {
            return std::nullopt;
        }
        object[key] = std::move(*converted);
    }
    return object;
}

std::expected<std::string, PlatformError> print(const Json& json, const std::string& what) {
    try {
        return json.dump(2) + "\n";
    } catch (const Json::exception&) {
        // Only text that is not UTF-8 makes printing fail.
        return std::unexpected(PlatformError{"json(" + what + ")", EILSEQ});
    }
}
} // namespace

FilePreferences::FilePreferences(const Paths& paths)
    : FilePreferences(paths.defaultsFile(), paths.domainsFile()) {}

FilePreferences::FilePreferences(std::filesystem::path valuesFile,
                                 std::filesystem::path domainsFile)
    : valuesFile(std::move(valuesFile)), domainsFile(std::move(domainsFile)),
      document(std::make_unique<Document>()) {
    auto text = readFile(this->valuesFile);
    if (!text) {
        if (text.error().code != ENOENT) {
            problem = text.error();
            blockedWrites = text.error();
        }
        return;
    }
    Json parsed = parseObject(*text);
    if (!parsed.is_discarded()) {
        document->values = std::move(parsed);
        return;
    }
    problem = PlatformError{"parse(" + this->valuesFile.string() + ")", EBADMSG};
    const std::string corrupt = this->valuesFile.string() + ".corrupt";
    if (std::rename(this->valuesFile.c_str(), corrupt.c_str()) != 0) {
        blockedWrites = PlatformError{"rename(" + corrupt + ")", errno};
    }
}

FilePreferences::~FilePreferences() = default;

std::optional<PlatformError> FilePreferences::loadProblem() const {
    return problem;
}

std::optional<PreferenceValue> FilePreferences::value(std::string_view key) const {
    std::lock_guard lock(storeLock);
    auto found = document->values.find(std::string(key));
    if (found == document->values.end()) {
        return std::nullopt;
    }
    return fromJson(*found);
}

std::expected<void, PlatformError> FilePreferences::saveLocked() {
    if (blockedWrites) {
        return std::unexpected(*blockedWrites);
    }
    auto text = print(document->values, valuesFile.string());
    if (!text) {
        return std::unexpected(text.error());
    }
    if (auto made = createFolders(valuesFile.parent_path(), 0700); !made) {
        return made;
    }
    return writeFileAtomically(valuesFile, *text, 0600);
}

std::expected<void, PlatformError> FilePreferences::setValue(std::string_view key,
                                                             PreferenceValue value) {
    const std::string name(key);
    auto json = toJson(value);
    if (!json) {
        return std::unexpected(PlatformError{"setValue(" + name + ")", EINVAL});
    }
    // Refuse text that could never be saved before it reaches the document.
    if (auto checked = print(*json, name); !checked) {
        return std::unexpected(checked.error());
    }
    std::lock_guard lock(storeLock);
    document->values[name] = std::move(*json);
    return saveLocked();
}

std::expected<void, PlatformError> FilePreferences::removeValue(std::string_view key) {
    std::lock_guard lock(storeLock);
    if (document->values.erase(std::string(key)) == 0) {
        return {};
    }
    return saveLocked();
}

std::optional<PreferenceValue> FilePreferences::domainValue(std::string_view domain,
                                                            std::string_view key) const {
    auto text = readFile(domainsFile);
    if (!text) {
        return std::nullopt;
    }
    const Json parsed = parseObject(*text);
    if (parsed.is_discarded()) {
        return std::nullopt;
    }
    auto suite = parsed.find(std::string(domain));
    if (suite == parsed.end() || !suite->is_object()) {
        return std::nullopt;
    }
    auto found = suite->find(std::string(key));
    if (found == suite->end()) {
        return std::nullopt;
    }
    return fromJson(*found);
}

} // namespace ravnix
