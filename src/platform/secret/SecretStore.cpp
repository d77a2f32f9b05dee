#include "platform/secret/SecretStore.hpp"

namespace ravnix {

std::optional<std::string> secretStatusMessage(SecretStatus status) {
    switch (status) {
    case SecretStatusCode::success:
        return "Hata yok";
    case SecretStatusCode::itemNotFound:
        return "Öğe anahtarlıkta bulunamadı";
    case SecretStatusCode::duplicateItem:
        return "Öğe anahtarlıkta zaten var";
    case SecretStatusCode::serviceUnavailable:
        return "Gizli bilgi servisine ulaşılamadı";
    case SecretStatusCode::locked:
        return "Anahtarlık kilitli";
    case SecretStatusCode::invalidAddress:
        return "Servis veya hesap adı kullanılamıyor";
    case SecretStatusCode::storageFailed:
        return "Anahtarlık dosyası okunamadı ya da yazılamadı";
    case SecretStatusCode::serviceFailed:
        return "Gizli bilgi servisi isteği yerine getirmedi";
    case SecretStatusCode::corruptData:
        return "Anahtarlıktaki veri çözülemedi";
    default:
        return std::nullopt;
    }
}

} // namespace ravnix
