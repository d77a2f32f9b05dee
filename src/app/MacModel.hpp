#pragma once
// The one application object: owns every long-lived component, wires their callbacks,
// persists the user's settings, polls the input permission, runs the desktop's side of the
// pairing confirmation and derives what the menu shows.
//
// Threads: confined to the main queue. Create it there, call it there, and subscribers are
// told there. Callbacks of the components that fire on their own threads hop to the main
// queue holding the model weakly, or only write a log line.

#include "app/ApplicationLog.hpp"
#include "app/WindowControllers.hpp"
#include "input/PointerInjector.hpp"
#include "input/TouchInterpreter.hpp"
#include "link/LinkServer.hpp"
#include "pairing/PairingListener.hpp"
#include "pairing/PairingRecord.hpp"
#include "pairing/PairingStore.hpp"
#include "peerlink/PeerLink.hpp"
#include "platform/Paths.hpp"
#include "platform/Preferences.hpp"
#include "platform/SerialQueue.hpp"
#include "platform/Workspace.hpp"
#include "platform/events/EventSystem.hpp"
#include "platform/network/DnsSd.hpp"
#include "platform/secret/SecretStore.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ravnix {

class MacModel : public std::enable_shared_from_this<MacModel> {
  public:
    // What the model is made from. Everything but the window controllers is required.
    struct Environment {
        std::shared_ptr<SerialQueue> mainQueue;
        std::shared_ptr<EventSystem> events; // also answers the input permission
        std::shared_ptr<Preferences> preferences;
        std::shared_ptr<SecretStore> secrets;
        std::shared_ptr<DnsSd> dnsSd;
        std::shared_ptr<Workspace> workspace;
        std::shared_ptr<ApplicationLog> log;
        std::filesystem::path clickLog;     // tiklama.log
        std::filesystem::path motionLog;    // hareket.csv
        std::vector<std::string> addresses; // localAddresses(), taken once
        std::string macName = "Mac";        // the host's name as the user knows it
        std::uint16_t port = 9931;
        // Pairing (TCP) and peer route (UDP): fixed so that firewall rules can name them; when
        // another program holds one, the system picks another and the log says so.
        std::uint16_t pairingPort = 9932;
        std::uint16_t peerPort = 9933;
        std::string pairingService = std::string(PairingStore::applicationService);
        std::string permissionHelpURL; // what openAccessibilitySettings() opens
        std::shared_ptr<OnboardingWindowController> onboarding;
        std::shared_ptr<PairingWindowController> pairingWindow;
        std::shared_ptr<GestureGuideWindowController> guide;
        std::function<std::uint64_t()> clock; // monotonic ns; the real one when empty
        // Options of the pairing listener beyond identity and address (timings in tests).
        PairingListener::Options pairingOptions;
    };

    // The observed fields, as named in change notifications.
    enum class Field {
        isTrusted,
        isListening,
        stats,
        errorText,
        speedMultiplier,
        listener,
        pairedDevices,
        pendingRequest,
        disconnectNotice,
        interpreter,
        server,
        isRecording,
        storageProblem,
    };
    using Observer = std::function<void(Field)>;

    static constexpr double basePointsPerUnit = 900.0;
    static constexpr double minimumSpeed = 0.25; // the menu slider's range
    static constexpr double maximumSpeed = 2.5;

    // The start-up sequence. Fails only when a component cannot be created at all (a thread
    // that cannot start); everything else shows in errorText or the log.
    static std::expected<std::shared_ptr<MacModel>, PlatformError> make(Environment environment);
    ~MacModel();
    MacModel(const MacModel&) = delete;
    MacModel& operator=(const MacModel&) = delete;

    // Subscribers are told after an observed field changed (every assignment for stats and
    // pendingRequest), on the main queue. The returned number unsubscribes.
    int subscribe(Observer observer);
    void unsubscribe(int subscription);

    // ---- observed state ----
    bool isTrusted() const { return isTrusted_; }
    // Why events do not reach the desktop, when the event system says more than a missing
    // permission (a lost display, a refused portal); read with isTrusted and notified as it.
    const std::optional<std::string>& untrustedReason() const { return untrustedReason_; }
    bool isListening() const { return isListening_; }
    const LinkServer::Stats& stats() const { return stats_; }
    const std::optional<std::string>& errorText() const { return errorText_; }
    double speedMultiplier() const { return speedMultiplier_; }
    const std::shared_ptr<PairingListener>& listener() const { return listener_; }
    const std::vector<PairingRecord>& pairedDevices() const { return pairedDevices_; }
    const std::optional<PairingListener::Request>& pendingRequest() const {
        return pendingRequest_;
    }
    const std::optional<std::string>& disconnectNotice() const { return disconnectNotice_; }
    const std::shared_ptr<TouchInterpreter>& interpreter() const { return interpreter_; }
    const std::shared_ptr<LinkServer>& server() const { return server_; }
    bool isRecording() const { return isRecording_; }
    const std::optional<std::string>& storageProblem() const { return storageProblem_; }

    // ---- constants ----
    // The touch port: the configured one, or the one the system picked for port 0.
    std::uint16_t port() const;
    const std::vector<std::string>& addresses() const { return environment.addresses; }
    double systemScale() const { return systemScale_; }
    const std::string& macIdentifier() const { return macIdentifier_; }
    const std::string& macName() const { return environment.macName; }
    const std::shared_ptr<PointerInjector>& injector() const { return injector_; }
    const std::shared_ptr<PairingStore>& pairings() const { return pairings_; }
    const std::shared_ptr<PeerLinkListener>& peerListener() const { return peerListener_; }
    const std::shared_ptr<ApplicationLog>& log() const { return environment.log; }
    const std::shared_ptr<OnboardingWindowController>& onboarding() const {
        return environment.onboarding;
    }
    const std::shared_ptr<GestureGuideWindowController>& guide() const { return environment.guide; }

    // ---- derived ----
    bool isLinkActive() const;
    std::string statusText() const;
    // The notice when there is one, else the status text: the menu's header line.
    std::string headerText() const;
    // "exclamationmark.triangle", "rectangle.and.hand.point.up.left.fill" or
    // "rectangle.dashed".
    std::string menuBarSymbol() const;

    // ---- operations ----
    void startServer();
    void reloadPairings();
    void startPairingListener();
    void presentPairingRequest(const PairingListener::Request& request);
    void resolvePairing(bool accepted, const PairingListener::Request& request);
    void unpair(const PairingRecord& record);
    void toggleRecording();
    void openLogFolder();
    void openAccessibilitySettings();
    // Stores, persists and applies a new speed factor (not clamped here: the slider limits it).
    void setSpeedMultiplier(double value);
    // Writes one line to the application log.
    void logLine(const std::string& text) const;

    // What the link server's statistics callback delivers, on the main queue: stats, and the
    // end of a farewell notice once touch packets flow again.
    void receiveStats(const LinkServer::Stats& stats);

    // Ends the timers and the threads of the components and closes the sockets; for a clean
    // exit (the recording is written). No callback reaches the model afterwards.
    void shutdown();

  private:
    explicit MacModel(Environment environment);
    void startUp();
    void applySpeed();
    void pollPermission();
    // The log line for a pairing or peer port that another program held.
    void logPortFallback(const char* what, const char* protocol, std::uint16_t wished,
                         std::uint16_t bound) const;
    void setDisconnectNotice(std::string text);
    void watchDnsSd();
    bool isAnswered(const PairingListener::Request& request) const;
    void notify(Field field);
    template <typename T> void assign(T& field, T value, Field name);
    // Runs `work` on the main queue if the model still exists then.
    void onMain(std::function<void(MacModel&)> work);
    std::uint64_t now() const;

    Environment environment;

    bool isTrusted_ = false;
    std::optional<std::string> untrustedReason_;
    bool isListening_ = false;
    LinkServer::Stats stats_;
    std::optional<std::string> errorText_;
    double speedMultiplier_ = 1.0;
    double systemScale_ = 1.0;
    std::shared_ptr<PairingStore> pairings_;
    std::shared_ptr<PairingListener> listener_;
    std::shared_ptr<PeerLinkListener> peerListener_;
    std::string macIdentifier_;
    std::vector<PairingRecord> pairedDevices_;
    std::optional<PairingListener::Request> pendingRequest_;
    // The exchange the user answered last: its later requests (the phone's own acceptance
    // arriving after the user's) are neither shown nor stored again.
    std::optional<PairingListener::Request> answeredRequest;
    std::optional<std::string> disconnectNotice_;
    // Frames accepted when the notice was set: more than that means packets flow again.
    std::uint64_t touchPacketsAtNotice = 0;
    std::shared_ptr<PointerInjector> injector_;
    std::shared_ptr<TouchInterpreter> interpreter_;
    std::shared_ptr<LinkServer> server_;
    RepeatingTimer trustTimer;
    // The DNS-SD service going away and coming back, told once each way; the notice shown
    // while it is away.
    DnsSd::OperationHandle dnsSdWatch;
    std::optional<std::string> dnsSdNotice;
    bool isRecording_ = true;
    std::optional<std::string> storageProblem_;

    bool isShutDown = false;
    std::map<int, Observer> observers;
    int nextSubscription = 1;
};

} // namespace ravnix
