#include "cli/phone/PhonePairings.hpp"

#include "domain/DeviceID.hpp"
#include "platform/FileSystem.hpp"

#include <nlohmann/json.hpp>

namespace ravnix {
namespace {

using Json = nlohmann::json;

// The facts file: {"deviceID": "…", "desktops": {"<desktop id>": {"udp": 9931, "unpaired":
// false}}}. Empty when missing or unreadable: the facts only refine a stored pairing, they
// never decide whether one exists.
Json readAll(const std::filesystem::path& file) {
    const auto text = readFile(file);
    Json all = text ? Json::parse(*text, nullptr, false) : Json::object();
    if (!all.is_object()) {
        all = Json::object();
    }
    if (!all.contains("desktops") || !all["desktops"].is_object()) {
        all["desktops"] = Json::object();
    }
    return all;
}

bool writeAll(const std::filesystem::path& file, const Json& all) {
    if (!createFolders(file.parent_path())) {
        return false;
    }
    // Identifiers come from the network: invalid UTF-8 is replaced rather than thrown over.
    const std::string text = all.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    return writeFileAtomically(file, text).has_value();
}

} // namespace

PhonePairings::PhonePairings(std::shared_ptr<SecretStore> secrets, std::filesystem::path facts)
    : pairings(std::move(secrets), std::string(service), std::string(account)),
      factsFile(std::move(facts)) {}

std::expected<void, std::string>
PhonePairings::save(const PairingBrowser::PairingStep::Accepted& accepted,
                    std::uint16_t touchPort) {
    PairingRecord record;
    record.id = accepted.macIdentifier;
    record.displayName = accepted.macName;
    record.model = std::string(desktopModel);
    record.keyMaterial = accepted.key;
    record.pairingID = accepted.pairingID;
    record.pairedAt = PairingRecord::Date::now();
    record.hosts = accepted.hosts;
    if (!pairings.save(record)) {
        return std::unexpected("eşleştirme saklanamadı: " +
                               pairings.lastErrorDescription().value_or("bilinmeyen hata"));
    }
    if (!writeFacts(record.id, Facts{touchPort, false})) {
        return std::unexpected("dokunma portu saklanamadı: " + factsFile.string());
    }
    return {};
}

std::optional<PhonePairings::Desktop> PhonePairings::find(std::optional<std::string_view> desktop) {
    const auto records = pairings.loadAll();
    const PairingRecord* chosen = nullptr;
    if (!desktop) {
        // Saving appends, so the last record is the most recent pairing.
        chosen = records.empty() ? nullptr : &records.back();
    } else {
        for (auto it = records.rbegin(); it != records.rend(); ++it) {
            if (it->displayName == *desktop || it->id == *desktop) {
                chosen = &*it;
                break;
            }
        }
    }
    if (chosen == nullptr) {
        return std::nullopt;
    }
    const Facts facts = readFacts(chosen->id).value_or(Facts{});
    return Desktop{*chosen, facts.touchPort, facts.isUnpaired};
}

void PhonePairings::markUnpaired(const std::string& desktopID) {
    Facts facts = readFacts(desktopID).value_or(Facts{});
    facts.isUnpaired = true;
    (void)writeFacts(desktopID, facts);
}

std::optional<PhonePairings::Facts> PhonePairings::readFacts(const std::string& desktopID) const {
    const Json all = readAll(factsFile);
    const Json& desktops = all["desktops"];
    const auto entry = desktops.find(desktopID);
    if (entry == desktops.end() || !entry->is_object()) {
        return std::nullopt;
    }
    Facts facts;
    if (const auto port = entry->find("udp"); port != entry->end() && port->is_number_unsigned() &&
                                              port->get<std::uint64_t>() > 0 &&
                                              port->get<std::uint64_t>() <= 65535) {
        facts.touchPort = static_cast<std::uint16_t>(port->get<std::uint64_t>());
    }
    if (const auto unpaired = entry->find("unpaired");
        unpaired != entry->end() && unpaired->is_boolean()) {
        facts.isUnpaired = unpaired->get<bool>();
    }
    return facts;
}

bool PhonePairings::writeFacts(const std::string& desktopID, const Facts& facts) const {
    Json all = readAll(factsFile);
    all["desktops"][desktopID] = Json{{"udp", facts.touchPort}, {"unpaired", facts.isUnpaired}};
    return writeAll(factsFile, all);
}

std::expected<std::string, std::string> PhonePairings::deviceID() {
    Json all = readAll(factsFile);
    if (const auto stored = all.find("deviceID");
        stored != all.end() && stored->is_string() && !stored->get<std::string>().empty()) {
        return stored->get<std::string>();
    }
    const auto fresh = DeviceID::random();
    if (!fresh) {
        return std::unexpected(std::string("cihaz kimliği üretilemedi"));
    }
    all["deviceID"] = fresh->description();
    if (!writeAll(factsFile, all)) {
        return std::unexpected("cihaz kimliği saklanamadı: " + factsFile.string());
    }
    return fresh->description();
}

} // namespace ravnix
