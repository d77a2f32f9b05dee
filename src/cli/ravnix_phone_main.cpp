// The phone's side on the command line: finds desktops, pairs with one, measures the link and
// plays the gesture guide's demonstrations as touch frames, so that a running ravnix can be
// driven without a phone. The subcommands live in phone/, one file each.

#include "cli/Version.hpp"
#include "cli/phone/PhoneCommands.hpp"
#include "platform/secret/FileSecretStore.hpp"

#if RAVNIX_HAVE_SECRET_SERVICE
#include "platform/secret/SecretStoreSelection.hpp"
#endif

#include <csignal>
#include <cstdio>
#include <vector>

namespace {

using namespace ravnix;

// Set from the signal handler; every wait of the subcommands looks at it between short slices.
std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

std::shared_ptr<SecretStore> chooseSecretStore(SecretStoreChoice choice, const Paths& paths) {
#if RAVNIX_HAVE_SECRET_SERVICE
    const SecretStoreKind kind = choice == SecretStoreChoice::file ? SecretStoreKind::file
                                 : choice == SecretStoreChoice::secretService
                                     ? SecretStoreKind::secretService
                                     : SecretStoreKind::automatic;
    return selectSecretStore(kind, paths).store;
#else
    (void)choice;
    return std::make_shared<FileSecretStore>(paths);
#endif
}

void printText(std::string_view text, FILE* stream) {
    std::fwrite(text.data(), 1, text.size(), stream);
}

} // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const auto parsed = parsePhoneOptions(arguments);
    if (!parsed) {
        std::fprintf(stderr, "ravnix-phone: %s\n", parsed.error().text.c_str());
        printText(phoneUsage, stderr);
        return 2;
    }
    switch (parsed->request) {
    case ProgramRequest::version:
        std::printf("ravnix-phone %s\n", RAVNIX_VERSION);
        return 0;
    case ProgramRequest::help:
        printText(phoneUsage, stdout);
        printText(phoneOptionsHelp, stdout);
        return 0;
    case ProgramRequest::run:
        break;
    }
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    std::signal(SIGPIPE, SIG_IGN);

    phone::Context context{*parsed, Paths(PathEnvironment::fromProcess()), nullptr, interrupted};
    context.pairings = std::make_unique<PhonePairings>(
        chooseSecretStore(context.options.secretStore, context.paths),
        context.paths.dataFolder() / "phone-desktops.json");

    switch (context.options.command) {
    case PhoneOptions::Command::browse:
        return phone::browse(context);
    case PhoneOptions::Command::pair:
        return phone::pair(context);
    case PhoneOptions::Command::ping:
        return phone::ping(context);
    case PhoneOptions::Command::play:
        return phone::play(context);
    case PhoneOptions::Command::status:
        return phone::status(context);
    }
    return 2;
}
