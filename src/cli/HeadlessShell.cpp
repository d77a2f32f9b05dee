#include "cli/HeadlessShell.hpp"

#include "app/MacModel.hpp"
#include "platform/detail/AsioLoop.hpp"
#include "transport/CFormat.hpp"

#include <array>
#include <asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <deque>
#include <fcntl.h>
#include <initializer_list>
#include <system_error>
#include <utility>

namespace ravnix {

// ---- reading commands ----

// The descriptor on the main queue's loop, and the lines read from it that wait for their turn.
class HeadlessShell::Input {
  public:
    Input(asio::io_context& io, int fd, int savedFlags)
        : descriptor(io), fd(fd), savedFlags(savedFlags) {}
    ~Input() { release(); }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Lines without their ends ("\n" or "\r\n"); an overlong one is cut and its rest skipped.
    void split(std::string_view bytes) {
        for (const char c : bytes) {
            if (c == '\n') {
                if (!cut) {
                    completeLine();
                }
                partial.clear();
                cut = false;
            } else if (!cut) {
                partial.push_back(c);
                if (partial.size() == maximumLineLength) {
                    completeLine();
                    cut = true;
                }
            }
        }
    }
    // The descriptor ended (or failed): a last line without its end still counts.
    void finish() {
        if (!partial.empty()) {
            completeLine();
        }
        ended = true;
    }

    // Gives the descriptor back without closing it, as the caller found it.
    void release() {
        if (!descriptor.is_open()) {
            return;
        }
        std::error_code ignored;
        descriptor.cancel(ignored);
        (void)descriptor.release();
        ::fcntl(fd, F_SETFL, savedFlags);
    }

    asio::posix::stream_descriptor descriptor;
    std::array<char, 4096> buffer;
    std::deque<std::string> lines;
    bool ended = false;

  private:
    void completeLine() {
        if (!partial.empty() && partial.back() == '\r') {
            partial.pop_back();
        }
        lines.push_back(std::exchange(partial, {}));
    }

    const int fd;
    const int savedFlags;
    std::string partial;
    bool cut = false; // the rest of an overlong line is being skipped
};

std::expected<void, PlatformError> HeadlessShell::startReading(int fd) {
    stopReading();
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return std::unexpected(PlatformError{"fcntl(F_GETFL)", errno});
    }
    auto reading = std::make_shared<Input>(options.mainQueue->engine().context(), fd, flags);
    std::error_code error;
    reading->descriptor.assign(fd, error);
    if (error) {
        return std::unexpected(PlatformError{"epoll_ctl", error.value()});
    }
    input = std::move(reading);
    readMore();
    return {};
}

void HeadlessShell::stopReading() {
    if (input) {
        input->release();
        input.reset();
    }
}

void HeadlessShell::readMore() {
    input->descriptor.async_read_some(
        asio::buffer(input->buffer),
        [weak = weak_from_this(),
         reading = std::weak_ptr<Input>(input)](const std::error_code& error, std::size_t count) {
            const auto shell = weak.lock();
            const auto in = reading.lock();
            if (!shell || !in || shell->input != in || error == asio::error::operation_aborted) {
                return; // stopped meanwhile
            }
            if (error) {
                in->finish(); // end of file, or an error that ends the reading alike
            } else {
                in->split(std::string_view(in->buffer.data(), count));
            }
            shell->handleNextLine();
        });
}

void HeadlessShell::handleNextLine() {
    if (input->lines.empty()) {
        if (!input->ended) {
            readMore();
            return;
        }
        stopReading();
        inputEnded();
        return;
    }
    const std::string line = std::move(input->lines.front());
    input->lines.pop_front();
    handleLine(line);
    options.mainQueue->async([weak = weak_from_this(), reading = std::weak_ptr<Input>(input)] {
        const auto shell = weak.lock();
        if (shell && shell->input && shell->input == reading.lock()) {
            shell->handleNextLine();
        }
    });
}

// ---- the windows ----

class HeadlessShell::Onboarding final : public OnboardingWindowController {
  public:
    explicit Onboarding(std::weak_ptr<HeadlessShell> shell) : shell(std::move(shell)) {}
    void show() override {
        if (auto s = shell.lock()) {
            s->showOnboarding();
        }
    }
    void close() override {
        if (auto s = shell.lock()) {
            s->closeOnboarding();
        }
    }

  private:
    std::weak_ptr<HeadlessShell> shell;
};

class HeadlessShell::Pairing final : public PairingWindowController {
  public:
    explicit Pairing(std::weak_ptr<HeadlessShell> shell) : shell(std::move(shell)) {}
    void show(const PairingListener::Request& request, Decision decision) override {
        if (auto s = shell.lock()) {
            s->showPairing(request, std::move(decision));
        }
    }
    void close() override {
        if (auto s = shell.lock()) {
            s->closePairing();
        }
    }

  private:
    std::weak_ptr<HeadlessShell> shell;
};

class HeadlessShell::Guide final : public GestureGuideWindowController {
  public:
    explicit Guide(std::weak_ptr<HeadlessShell> shell) : shell(std::move(shell)) {}
    void show() override {
        if (auto s = shell.lock()) {
            s->showGuide();
        }
    }

  private:
    std::weak_ptr<HeadlessShell> shell;
};

// ---- the shell ----

namespace {

std::string_view trimmed(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n\v\f";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::string asciiLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

bool isOneOf(std::string_view word, std::initializer_list<std::string_view> choices) {
    for (const auto choice : choices) {
        if (word == choice) {
            return true;
        }
    }
    return false;
}

// "123456" → "123 456", as the phone shows it; other lengths as they are.
std::string groupedCode(const std::string& code) {
    if (code.size() != 6) {
        return code;
    }
    return code.substr(0, 3) + " " + code.substr(3);
}

constexpr std::string_view refusedForMissingInput = "giriş yok: eşleştirme isteği reddedildi";
constexpr std::string_view pairingPrompt = "Evet, eşleştir? (evet/hayır): ";

} // namespace

std::shared_ptr<HeadlessShell> HeadlessShell::make(Options options) {
    std::shared_ptr<HeadlessShell> shell(new HeadlessShell(std::move(options)));
    shell->onboarding = std::make_shared<Onboarding>(shell);
    shell->pairing = std::make_shared<Pairing>(shell);
    shell->guide = std::make_shared<Guide>(shell);
    return shell;
}

HeadlessShell::HeadlessShell(Options options) : options(std::move(options)) {}

HeadlessShell::~HeadlessShell() {
    stopReading();
    detach();
    if (doctorThread.joinable()) {
        doctorThread.join();
    }
}

void HeadlessShell::attach(std::shared_ptr<MacModel> newModel) {
    detach();
    model = std::move(newModel);
    if (!model) {
        return;
    }
    subscription = model->subscribe([weak = weak_from_this()](MacModel::Field) {
        if (auto shell = weak.lock()) {
            shell->modelChanged();
        }
    });
    modelChanged();
}

void HeadlessShell::detach() {
    if (model && subscription) {
        model->unsubscribe(*subscription);
    }
    subscription.reset();
    model.reset();
}

void HeadlessShell::handleLine(std::string_view line) {
    promptOpen = false; // the user's Enter ended the prompt's line
    const std::string_view text = trimmed(line);
    if (text.empty()) {
        return;
    }
    const auto split = text.find_first_of(" \t");
    const std::string word = asciiLower(text.substr(0, split));
    const std::string_view argument =
        split == std::string_view::npos ? std::string_view{} : trimmed(text.substr(split));

    if (isOneOf(word, {"evet", "e", "y", "yes"})) {
        decide(true);
    } else if (isOneOf(word, {"hayir", "hayır", "h", "n", "no"})) {
        decide(false);
    } else if (word == "durum") {
        printHeader();
    } else if (word == "cihazlar") {
        listDevices();
    } else if (isOneOf(word, {"kaldir", "kaldır"})) {
        removeDevice(argument);
    } else if (word == "hiz" || word == "hız") {
        setSpeed(argument);
    } else if (word == "kayit" || word == "kayıt") {
        toggleRecording();
    } else if (word == "izin") {
        askPermission();
    } else if (word == "doktor") {
        startDoctor();
    } else if (word == "cik" || word == "çık") {
        print("çıkılıyor");
        if (options.quit) {
            options.quit();
        }
    } else if (word == "yardim" || word == "yardım") {
        printHelp();
    } else {
        print("bilinmeyen komut: " + std::string(text) + " (komutlar için: yardım)");
    }
}

void HeadlessShell::inputEnded() {
    if (inputClosed) {
        return;
    }
    inputClosed = true;
    print("giriş bitti: bundan sonraki eşleştirme istekleri reddedilecek");
    if (pendingRequest) {
        refuseForMissingInput(pendingRequest->number);
    }
}

// ---- windows ----

void HeadlessShell::showOnboarding() {
    if (onboardingShown) {
        return; // the permission poll may ask again while nothing changed
    }
    onboardingShown = true;
    // The event system's own reason (a lost display, a refused portal) says more than the
    // fixed hint.
    const auto& reason = model ? model->untrustedReason() : std::nullopt;
    print("Giriş olayları için izin gerekiyor: " + reason.value_or(options.permissionHint));
    if (options.requestPermission) {
        print("izni masaüstünden yeniden istemek için: izin");
    }
}

void HeadlessShell::closeOnboarding() {
    onboardingShown = false;
}

void HeadlessShell::showGuide() {
    print("Hareket rehberi masaüstü kabuğunda açılır; terminalde gösterilemiyor.");
}

void HeadlessShell::showPairing(const PairingListener::Request& request,
                                PairingWindowController::Decision decision) {
    if (promptOpen) {
        std::fputc('\n', options.output); // the replaced request's question stays unanswered
        promptOpen = false;
    }
    // A newer request takes the place of the one on screen, whose decision is dropped.
    pendingRequest = PendingRequest{++requestsShown, std::move(decision)};
    print("Bu iPhone eşleşmek istiyor");
    print(request.hello.displayName + " · " + request.hello.model);
    print(groupedCode(request.code));
    if (inputClosed) {
        // Answered on the queue rather than from inside the model's own call.
        options.mainQueue->async([weak = weak_from_this(), number = requestsShown] {
            if (auto shell = weak.lock()) {
                shell->refuseForMissingInput(number);
            }
        });
        return;
    }
    print("iPhone'unda görünen sayı bu mu?");
    print(request.phoneAccepted ? "iPhone onayladı, sıra sende" : "iPhone'daki onay bekleniyor");
    prompt(pairingPrompt);
}

void HeadlessShell::closePairing() {
    if (!pendingRequest) {
        return;
    }
    pendingRequest.reset();
    print("eşleştirme isteği kapandı");
}

void HeadlessShell::decide(bool accepted) {
    if (!pendingRequest) {
        print("bekleyen eşleştirme isteği yok");
        return;
    }
    // Taken out first: the decision may close the window, which must find nothing pending.
    auto decision = std::move(pendingRequest->decision);
    pendingRequest.reset();
    print(accepted ? "eşleştirme onaylandı" : "eşleştirme reddedildi");
    if (decision) {
        decision(accepted);
    }
}

void HeadlessShell::refuseForMissingInput(std::uint64_t requestNumber) {
    if (!pendingRequest || pendingRequest->number != requestNumber) {
        return; // replaced or closed meanwhile
    }
    auto decision = std::move(pendingRequest->decision);
    pendingRequest.reset();
    print(refusedForMissingInput);
    if (decision) {
        decision(false);
    }
}

void HeadlessShell::modelChanged() {
    if (!model) {
        return;
    }
    std::string header = model->headerText();
    if (shownHeader != header) {
        print("durum: " + header);
        shownHeader = std::move(header);
    }
    // The shell, not the model, opens the onboarding window: at the start and again whenever
    // the permission is lost.
    if (!model->isTrusted()) {
        showOnboarding();
    } else {
        closeOnboarding();
    }
    // The header shows an error only while nothing listens; a pairing listener that could not
    // start would otherwise go unnoticed on a terminal.
    const auto& error = model->errorText();
    if (error != shownError) {
        shownError = error;
        if (error && *error != shownHeader) {
            print("hata: " + *error);
        }
    }
}

// ---- commands ----

void HeadlessShell::printHeader() {
    if (!model) {
        print("uygulama hazır değil");
        return;
    }
    print("durum: " + model->headerText());
    if (!options.eventsDescription.empty()) {
        print("olay sistemi: " + options.eventsDescription);
    }
    if (const auto& error = model->errorText(); error && *error != model->headerText()) {
        print("hata: " + *error);
    }
}

void HeadlessShell::listDevices() {
    if (!model) {
        print("uygulama hazır değil");
        return;
    }
    const auto& devices = model->pairedDevices();
    if (devices.empty()) {
        print("eşleşmiş cihaz yok");
        return;
    }
    std::size_t number = 0;
    for (const auto& device : devices) {
        print(std::to_string(++number) + ". " + device.displayName + " · " + device.model +
              " · id=" + std::to_string(device.pairingID));
    }
}

void HeadlessShell::removeDevice(std::string_view argument) {
    if (!model) {
        print("uygulama hazır değil");
        return;
    }
    const auto& devices = model->pairedDevices();
    std::size_t number = 0;
    const auto* end = argument.data() + argument.size();
    const auto [stop, error] = std::from_chars(argument.data(), end, number);
    if (argument.empty() || error != std::errc() || stop != end || number == 0 ||
        number > devices.size()) {
        print(devices.empty() ? "kaldırılacak eşleşmiş cihaz yok"
                              : "geçersiz cihaz numarası: " + std::string(argument) + " (1–" +
                                    std::to_string(devices.size()) + ", bkz. cihazlar)");
        return;
    }
    // A copy: unpair() replaces the list the reference points into.
    const PairingRecord record = devices[number - 1];
    model->unpair(record);
    print("eşleşme kaldırıldı: " + record.displayName);
}

void HeadlessShell::setSpeed(std::string_view argument) {
    if (!model) {
        print("uygulama hazır değil");
        return;
    }
    // from_chars reads a full stop whatever the process's locale says.
    double value = 0;
    const auto* end = argument.data() + argument.size();
    const auto [stop, error] = std::from_chars(argument.data(), end, value);
    if (argument.empty() || error != std::errc() || stop != end || !std::isfinite(value) ||
        value < MacModel::minimumSpeed || value > MacModel::maximumSpeed) {
        print(formatC("imleç hızı %.2f ile %.2f arasında bir sayı olmalı (ör. hiz 1.5)",
                      MacModel::minimumSpeed, MacModel::maximumSpeed));
        return;
    }
    model->setSpeedMultiplier(value);
    print(formatC("İmleç hızı: %.2f×", model->speedMultiplier()));
}

void HeadlessShell::toggleRecording() {
    if (!model) {
        print("uygulama hazır değil");
        return;
    }
    model->toggleRecording();
    print(model->isRecording() ? "Hareket kaydı: açık" : "Hareket kaydı: kapalı");
}

void HeadlessShell::askPermission() {
    if (!options.requestPermission) {
        print("bu olay sistemi izin istemiyor" +
              (model && !model->isTrusted()
                   ? ": " + model->untrustedReason().value_or(options.permissionHint)
                   : std::string()));
        return;
    }
    if (model && model->isTrusted()) {
        print("izin zaten var");
        return;
    }
    options.requestPermission();
    print("izin isteniyor: masaüstünün sorusunu yanıtlayın");
}

void HeadlessShell::startDoctor() {
    if (!options.doctor) {
        print("bağlantı denetimi bu kabukta yok");
        return;
    }
    if (isDoctorRunning) {
        print("bağlantı denetimi sürüyor");
        return;
    }
    if (doctorThread.joinable()) {
        doctorThread.join(); // the previous run, which has ended
    }
    try {
        doctorThread = std::thread(
            [run = options.doctor(), queue = options.mainQueue, weak = weak_from_this()] {
                auto checks = run();
                queue->async([weak, checks = std::move(checks)] {
                    if (auto shell = weak.lock()) {
                        shell->doctorDone(checks);
                    }
                });
            });
    } catch (const std::system_error& error) {
        print(std::string("bağlantı denetimi başlatılamadı: ") + error.what());
        return;
    }
    isDoctorRunning = true;
    print("bağlantı denetleniyor…");
}

void HeadlessShell::doctorDone(const std::vector<DoctorCheck>& checks) {
    isDoctorRunning = false;
    std::size_t passed = 0;
    for (const auto& check : checks) {
        print(doctorLine(check));
        passed += check.passed ? 1 : 0;
    }
    print("denetim bitti: " + std::to_string(passed) + "/" + std::to_string(checks.size()) +
          " geçti");
}

void HeadlessShell::printHelp() {
    static constexpr std::string_view help[] = {
        "komutlar:",
        "  evet | hayır   bekleyen eşleştirme isteğini onayla / reddet",
        "  durum          durum satırını yaz",
        "  cihazlar       eşleşmiş cihazları numaralarıyla listele",
        "  kaldır N       N numaralı cihazın eşleşmesini kaldır",
        "  hiz X          imleç hızı, 0.25 ile 2.50 arası (ör. hiz 1.5)",
        "  kayit          hareket kaydını aç / kapat",
        "  izin           giriş olayları iznini masaüstünden yeniden iste",
        "  doktor         bağlantıyı denetle: ağ, avahi, portlar, güvenlik duvarı…",
        "  çık            programı kapat",
        "  yardım         bu listeyi yaz",
    };
    for (const auto line : help) {
        print(line);
    }
}

// ---- output ----

void HeadlessShell::print(std::string_view line) {
    // A line that arrives while the question waits goes below it, and the question follows.
    const bool askAgain = promptOpen && pendingRequest && !inputClosed;
    if (promptOpen) {
        std::fputc('\n', options.output);
        promptOpen = false;
    }
    std::fwrite(line.data(), 1, line.size(), options.output);
    std::fputc('\n', options.output);
    std::fflush(options.output);
    if (askAgain) {
        prompt(pairingPrompt);
    }
}

void HeadlessShell::prompt(std::string_view text) {
    if (promptOpen) {
        std::fputc('\n', options.output);
    }
    std::fwrite(text.data(), 1, text.size(), options.output);
    std::fflush(options.output);
    promptOpen = true;
}

} // namespace ravnix
