#pragma once
// What the phone keeps about the desktops it paired with: the pairing records in a secret
// item of its own (service "com.belvor.ravnix.phone.pairings"), and beside them, in a plain
// file of the data folder, what is not secret and has no place in a record: the desktop's
// touch port and whether the desktop has told us it dropped the pairing.

#include "pairing/PairingBrowser.hpp"
#include "pairing/PairingStore.hpp"

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace ravnix {

class PhonePairings {
  public:
    static constexpr std::string_view service = "com.belvor.ravnix.phone.pairings";
    static constexpr std::string_view account = "v1";
    static constexpr std::string_view desktopModel = "masaüstü";

    struct Desktop {
        PairingRecord record; // id: the desktop's identifier; displayName: its name
        std::uint16_t touchPort = 9931;
        bool isUnpairedByDesktop = false;
    };

    // `facts` is the plain file (usually phone-desktops.json in the data folder).
    PhonePairings(std::shared_ptr<SecretStore> secrets, std::filesystem::path facts);

    // Replaces any pairing with the same desktop and forgets an earlier unpaired notice.
    // One line of text when the record or the facts cannot be written.
    std::expected<void, std::string> save(const PairingBrowser::PairingStep::Accepted& accepted,
                                          std::uint16_t touchPort);
    // The pairing with this desktop name or identifier; without one, the most recent pairing.
    std::optional<Desktop> find(std::optional<std::string_view> desktop = std::nullopt);
    // Remembers that the desktop answered with an unpaired notice.
    void markUnpaired(const std::string& desktopID);

    // This phone's identifier: made once and kept in the facts file, so that pairing again
    // replaces the desktop's record of this phone instead of adding one.
    std::expected<std::string, std::string> deviceID();

    PairingStore& store() noexcept { return pairings; }

  private:
    struct Facts {
        std::uint16_t touchPort = 9931;
        bool isUnpaired = false;
    };
    std::optional<Facts> readFacts(const std::string& desktopID) const;
    bool writeFacts(const std::string& desktopID, const Facts& facts) const;

    PairingStore pairings;
    const std::filesystem::path factsFile;
};

} // namespace ravnix
