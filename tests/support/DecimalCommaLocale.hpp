#pragma once
// Puts the process's numeric formatting into Turkish, whose decimal separator is a comma,
// for as long as the object lives (a desktop toolkit does the same at start-up). When the
// locale is not installed, it is compiled into a private folder with localedef.

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace ravnix::test {

class DecimalCommaLocale {
  public:
    DecimalCommaLocale() {
        if (std::setlocale(LC_NUMERIC, "tr_TR.UTF-8") == nullptr) {
            char pattern[] = "/tmp/ravnix-locale-XXXXXX";
            if (mkdtemp(pattern) != nullptr) {
                folder = pattern;
                const std::string command =
                    "localedef -i tr_TR -f UTF-8 " + folder + "/tr_TR.UTF-8 >/dev/null 2>&1";
                if (std::system(command.c_str()) == 0) {
                    setenv("LOCPATH", folder.c_str(), 1);
                    std::setlocale(LC_NUMERIC, "tr_TR.UTF-8");
                }
            }
        }
        char probe[16];
        std::snprintf(probe, sizeof probe, "%.2f", 1.5);
        active = std::string(probe) == "1,50";
    }
    ~DecimalCommaLocale() {
        std::setlocale(LC_NUMERIC, "C");
        unsetenv("LOCPATH");
        if (!folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    }
    DecimalCommaLocale(const DecimalCommaLocale&) = delete;
    DecimalCommaLocale& operator=(const DecimalCommaLocale&) = delete;

    // False when no decimal-comma locale could be set up; the caller skips with a reason.
    bool isActive() const noexcept { return active; }

  private:
    std::string folder;
    bool active = false;
};

} // namespace ravnix::test
