// The desktop program's entry. Only the touch-link foundation exists so far, so a bare
// start says what is missing instead of pretending to run.

#include "cli/Version.hpp"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "Kullanım: ravnix [--headless] [--events=auto|x11|log|none] [--port N]\n"
    "                 [--secret-store=auto|secret-service|file]\n"
    "         ravnix --version | --help\n"
    "\n"
    "Telefonu masaüstü için izleme yüzeyine çevirir: dokunma karelerini UDP 9931\n"
    "üzerinden alır ve işaretçi, tıklama, kaydırma ve kısayol olaylarına dönüştürür.\n";

constexpr const char* kMissing =
    "ravnix: uygulama henüz kurulmadı, yalnızca kitaplıkları var.\n"
    "Hazır olanlar: dokunma paketi biçimi, paket doğrulama, UDP soketi, gecikme\n"
    "istatistikleri, bağlantı sunucusu, eşleştirme el sıkışması ve mesajları, alan\n"
    "kayıtları, kuyruklar ve tercihler.\n"
    "Eksik olanlar: dokunma yorumlayıcısı, işaretçi çıktısı, eşleştirme dinleyicisi ve\n"
    "deposu, eşler arası bağlantı, uygulama modeli, arayüz.\n";

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("ravnix %s\n", RAVNIX_VERSION);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
    }
    std::fputs(kMissing, stderr);
    return 1;
}
