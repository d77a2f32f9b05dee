#include "guide/GuideCatalog.hpp"

#include <algorithm>
#include <initializer_list>

namespace ravnix {
namespace {

constexpr bool down = true;
constexpr bool up = false;

using Kind = GuideScene::Kind;
using Unit = GuideScene::Unit;
using Anchor = GuideScene::PointerAnchor;
using PulseKind = Pulse::Kind;

FingerTrack track(std::initializer_list<FingerTrack::Key> keys) {
    return FingerTrack{keys};
}

Ramp ramp(std::initializer_list<Ramp::Stop> stops) {
    return Ramp{stops};
}

std::vector<GestureDemo> makeCatalog() {
    std::vector<GestureDemo> demos;
    demos.reserve(12);

    demos.push_back({
        .id = "imlec",
        .group = "Temel",
        .title = "İmleç",
        .gesture = "Tek parmak gezdirme",
        .duration = 3.4,
        .fingers = {track(
            {{0.35, {0.26, 0.66}, down}, {2.3, {0.7, 0.34}, down}, {2.6, {0.7, 0.34}, up}})},
        .pulses = {},
        .steps = {{0, "Tek parmağını yüzeye koy"},
                  {0.6, "Gezdir — imleç parmağını izler"},
                  {2.35, "Kaldır; imleç bıraktığın yerde kalır"}},
        .scene = {.kind = Kind::text,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0.35, 0.2}, {2.3, 0.68}}),
                  .cursorY = ramp({{0.35, 0.74}, {2.3, 0.28}})},
        .note = "Yavaş hareket ederken imleç parmağından biraz geride kalır. Bu bilinçli: ivme "
                "eğrisi düşük hızlarda birim altı kazanç veriyor, yoksa hassas iş yapmak "
                "imkânsız oluyor.",
    });

    demos.push_back({
        .id = "sol-tik",
        .group = "Temel",
        .title = "Sol tık",
        .gesture = "Tek parmakla kısa dokunma",
        .duration = 2.8,
        .fingers = {track({{0.8, {0.5, 0.5}, down}, {0.98, {0.5, 0.5}, up}})},
        .pulses = {{0.98, {0.5, 0.5}, PulseKind::click}},
        .steps = {{0, "İmleci hedefin üstüne getir"},
                  {0.75, "Tek parmakla kısa dokun"},
                  {1, "Tık — darbe parmağının altında anında çalar"}},
        .scene = {.kind = Kind::text,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0, 0.34}}),
                  .cursorY = ramp({{0, 0.36}}),
                  .flashes = {0.98}},
        .note = "Bastırmıyorsun, dokunuyorsun — iPhone'da basınç sensörü yok. 0.25 saniyeden "
                "uzun süren ya da ~3,5 mm'den fazla kayan bir temas tıklama sayılmaz, imleç "
                "hareketi sayılır.",
    });

    demos.push_back({
        .id = "sag-tik",
        .group = "Temel",
        .title = "Sağ tık",
        .gesture = "İki parmakla kısa dokunma",
        .duration = 3.4,
        .fingers = {track({{0.8, {0.42, 0.46}, down}, {1.02, {0.42, 0.46}, up}}),
                    track({{0.82, {0.58, 0.52}, down}, {1.04, {0.58, 0.52}, up}})},
        .pulses = {{1.02, {0.5, 0.49}, PulseKind::click}},
        .steps = {{0, "İmleci hedefin üstüne getir"},
                  {0.75, "İki parmakla birlikte kısa dokun"},
                  {1.05, "Bağlam menüsü açılır"}},
        .scene = {.kind = Kind::menu,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0, 0.34}}),
                  .cursorY = ramp({{0, 0.34}}),
                  .popup = ramp({{1.05, 0}, {1.3, 1}})},
        .note = "İki parmak dokunuşu doğası gereği daha dağınıktır: parmaklar aynı anda inmez "
                "ve daha çok kayar. Eşikler bu jestte üç kat gevşetildi, parmakların birlikte "
                "kalkması gerekmiyor.",
    });

    demos.push_back({
        .id = "kaydirma",
        .group = "Temel",
        .title = "Kaydırma",
        .gesture = "İki parmak gezdirme",
        .duration = 4.0,
        .fingers =
            {track({{0.4, {0.4, 0.7}, down}, {2.6, {0.4, 0.26}, down}, {2.9, {0.4, 0.26}, up}}),
             track(
                 {{0.42, {0.56, 0.74}, down}, {2.62, {0.56, 0.3}, down}, {2.92, {0.56, 0.3}, up}})},
        .pulses = {},
        .steps = {{0, "İki parmağını yüzeye koy"},
                  {0.6, "Kaydır — içerik parmağını takip eder"},
                  {2.65, "Parmak kalkınca kaydırma durur"}},
        .scene = {.kind = Kind::text,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0, 0.62}}),
                  .cursorY = ramp({{0, 0.44}}),
                  .scroll = ramp({{0.4, 0}, {2.6, 5}})},
        .note = "Momentum — parmak kalktıktan sonra kaymanın sürmesi — henüz yok, M2'de "
                "gelecek. Şu an kaydırma parmakla birlikte duruyor.",
    });

    demos.push_back({
        .id = "yakinlastir",
        .group = "Temel",
        .title = "Yakınlaştır",
        .gesture = "İki parmağı aç / kapat",
        .duration = 5.4,
        .fingers = {track({{0.5, {0.44, 0.52}, down},
                           {2.4, {0.24, 0.4}, down},
                           {2.9, {0.24, 0.4}, down},
                           {4.6, {0.44, 0.52}, down},
                           {4.95, {0.44, 0.52}, up}}),
                    track({{0.52, {0.56, 0.48}, down},
                           {2.42, {0.76, 0.6}, down},
                           {2.92, {0.76, 0.6}, down},
                           {4.62, {0.56, 0.48}, down},
                           {4.97, {0.56, 0.48}, up}})},
        .pulses = {},
        .steps = {{0, "İki parmağını yüzeye koy"},
                  {0.6, "Parmakları AÇ — içerik büyür"},
                  {2.95, "KAPAT — küçülür"},
                  {4.65, "Parmakları kaldır"}},
        .scene = {.kind = Kind::text,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0, 0.5}}),
                  .cursorY = ramp({{0, 0.46}}),
                  .zoom = ramp({{0.7, 1}, {2.4, 1.7}, {2.9, 1.7}, {4.6, 1}})},
        .note = "Kaydırmayla aynı iki parmak, farklı hareket: Ravnix parmak arası AÇIKLIĞIN "
                "değişimine bakıyor. Karar temasın başında bir kez veriliyor ve o temas "
                "boyunca değişmiyor — yoksa kıstırırken merkez biraz kayınca jest kaydırmaya "
                "dönerdi. Command + kaydırma olarak gönderiliyor: tarayıcılar, Önizleme, "
                "Finder ve kod düzenleyiciler bunu yakınlaştırma sayar; yalnızca gerçek "
                "kıstırma jestini dinleyen uygulamalar tepki vermez.",
    });

    demos.push_back({
        .id = "cift-tik",
        .group = "Seçim",
        .title = "Çift tık",
        .gesture = "Hızlı iki dokunma",
        .duration = 3.6,
        .fingers = {track({{0.7, {0.5, 0.5}, down},
                           {0.88, {0.5, 0.5}, up},
                           {1.05, {0.5, 0.5}, down},
                           {1.23, {0.5, 0.5}, up}})},
        .pulses = {{0.88, {0.5, 0.5}, PulseKind::click}, {1.23, {0.5, 0.5}, PulseKind::click}},
        .steps = {{0, "İmleci kelimenin üstüne getir"},
                  {0.7, "Aynı yere iki kez hızlıca dokun"},
                  {1.25, "Kelime seçilir — dosyanın üstündeysen açılır"}},
        .scene = {.kind = Kind::text,
                  .unit = Unit::word,
                  .pointer = Anchor::selectionStart,
                  .cursorX = ramp({{0, 0.3}}),
                  .cursorY = ramp({{0, 0.3}}),
                  .selectionStart = ramp({{0, 1.3}}),
                  .selectionEnd = ramp({{1.23, 1.3}, {1.42, 1.4}}),
                  .flashes = {0.88, 1.23}},
        .note = "İki dokunuş 0.45 saniye içinde ve birbirine yakın (~6 mm) olmalı. Uzaklaşırsa "
                "iki ayrı tık sayılır — bu yarıçap bir kez fazla dar seçilmişti ve çift tık "
                "onda bir tutuyordu.",
    });

    demos.push_back({
        .id = "uc-tik",
        .group = "Seçim",
        .title = "Üç tık",
        .gesture = "Hızlı üç dokunma",
        .duration = 4.2,
        .fingers = {track({{0.7, {0.5, 0.5}, down},
                           {0.88, {0.5, 0.5}, up},
                           {1.05, {0.5, 0.5}, down},
                           {1.23, {0.5, 0.5}, up},
                           {1.4, {0.5, 0.5}, down},
                           {1.58, {0.5, 0.5}, up}})},
        .pulses = {{0.88, {0.5, 0.5}, PulseKind::click},
                   {1.23, {0.5, 0.5}, PulseKind::click},
                   {1.58, {0.5, 0.5}, PulseKind::click}},
        .steps = {{0, "İmleci paragrafın üstüne getir"},
                  {0.7, "Üç kez hızlıca dokun"},
                  {1.6, "Paragrafın tamamı seçilir"}},
        .scene = {.kind = Kind::text,
                  .unit = Unit::paragraph,
                  .pointer = Anchor::selectionStart,
                  .cursorX = ramp({{0, 0.3}}),
                  .cursorY = ramp({{0, 0.3}}),
                  .selectionStart = ramp({{0, 1.35}}),
                  .selectionEnd = ramp({{1.58, 1.35}, {1.84, 4}}),
                  .flashes = {0.88, 1.23, 1.58}},
        .note = "Kaç kez dokunduğun seçim birimini belirliyor: bir tık harf, iki tık kelime, üç "
                "tık paragraf.",
    });

    demos.push_back({
        .id = "harf-secim",
        .group = "Seçim",
        .title = "Harf harf seçim",
        .gesture = "Dokun · dokun · tut · kaydır",
        .duration = 5.6,
        .fingers = {track({{0.6, {0.24, 0.52}, down},
                           {0.78, {0.24, 0.52}, up},
                           {1.0, {0.24, 0.52}, down},
                           {1.45, {0.24, 0.52}, down},
                           {3.7, {0.74, 0.52}, down},
                           {4.05, {0.74, 0.52}, up}})},
        .pulses = {{0.78, {0.24, 0.52}, PulseKind::click},
                   {1.45, {0.24, 0.52}, PulseKind::press},
                   {4.05, {0.74, 0.52}, PulseKind::release}},
        .steps = {{0, "İmleci seçimin başına getir"},
                  {0.6, "Bir kez dokun ve kaldır"},
                  {1, "0.3 saniye içinde tekrar dokun"},
                  {1.45, "Bu kez kaldırma — 0.25 saniye tut, sol tuş basılı kalır"},
                  {1.9, "Kaydır: seçim harf harf büyür"},
                  {4.05, "Parmağı kaldır, seçim tamamlanır"}},
        .scene = {.kind = Kind::text,
                  .unit = Unit::character,
                  .pointer = Anchor::selectionEnd,
                  .cursorX = ramp({{0, 0.3}}),
                  .cursorY = ramp({{0, 0.3}}),
                  .selectionStart = ramp({{0, 0.35}}),
                  .selectionEnd = ramp({{1.45, 0.35}, {3.7, 1.75}})},
        .note = "Sürükleme başlangıcı bilinçli olarak tıklama dizisinden çıkarıldı. "
                "Çıkarılmasaydı imleci konumlandıran ilk dokunuş sayılır ve harf seçmeye "
                "çalışırken kelime seçilirdi.",
    });

    demos.push_back({
        .id = "secerken-kaydir",
        .group = "Seçim",
        .title = "Kaydırarak seç",
        .gesture = "Üç parmakla kenara doğru sürükle",
        .duration = 6.2,
        .fingers = {track({{0.4, {0.3, 0.66}, down},
                           {2.4, {0.3, 0.28}, down},
                           {5.0, {0.3, 0.28}, down},
                           {5.4, {0.3, 0.28}, up}}),
                    track({{0.42, {0.44, 0.6}, down},
                           {2.42, {0.44, 0.22}, down},
                           {5.02, {0.44, 0.22}, down},
                           {5.42, {0.44, 0.22}, up}}),
                    track({{0.44, {0.58, 0.66}, down},
                           {2.44, {0.58, 0.28}, down},
                           {5.04, {0.58, 0.28}, down},
                           {5.44, {0.58, 0.28}, up}})},
        .pulses = {{0.8, {0.44, 0.58}, PulseKind::press}, {5.42, {0.44, 0.24}, PulseKind::release}},
        .steps = {{0, "Üç parmağını koy ve seçmek istediğin yöne sürükle"},
                  {0.8, "Sol tuş basılı, seçim sürüyor"},
                  {1.3, "Sürüklemeye devam et — imleç pencerenin kenarına dayanır"},
                  {2.45, "Parmaklarını DURDURSAN BİLE içerik akmaya devam eder"},
                  {5.4, "Parmakları kaldır — seçim tamam"}},
        .scene = {.kind = Kind::text,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0, 0.56}}),
                  .cursorY = ramp({{0.4, 0.42}, {2.2, 0.11}}),
                  .scroll = ramp({{2.2, 5}, {4.9, 0}}),
                  .selectionStart = ramp({{0.8, 8.6}, {2.2, 5}, {4.9, 0}}),
                  .selectionEnd = ramp({{0, 8.6}})},
        .note = "Kaydırmayı burada Ravnix değil uygulamanın kendisi yapıyor: imleç metin "
                "alanının kenarına dayandığı sürece macOS kendiliğinden kaydırıyor. Terminal, "
                "TextEdit ve metin alanlarının çoğunda çalışır, hızına uygulama karar verir. "
                "Aşağı doğru seçmek için alt kenara sürükle. Kaydırma hızını sen yönetmek "
                "istersen: bir parmağını kaldır, kalan ikisiyle kaydır, sonra geri koy.",
    });

    demos.push_back({
        .id = "uc-parmak-surukleme",
        .group = "Sürükleme",
        .title = "Üç parmakla sürükleme",
        .gesture = "Üç parmak gezdirme",
        .duration = 4.6,
        .fingers =
            {track({{0.5, {0.26, 0.44}, down}, {2.9, {0.54, 0.62}, down}, {3.2, {0.54, 0.62}, up}}),
             track(
                 {{0.52, {0.4, 0.36}, down}, {2.92, {0.68, 0.54}, down}, {3.22, {0.68, 0.54}, up}}),
             track({{0.54, {0.54, 0.44}, down},
                    {2.94, {0.82, 0.62}, down},
                    {3.24, {0.82, 0.62}, up}})},
        .pulses = {{0.85, {0.4, 0.41}, PulseKind::press}, {3.2, {0.68, 0.59}, PulseKind::release}},
        .steps = {{0, "Üç parmağı birlikte yüzeye koy"},
                  {0.6, "Kaydır — hareket başlar başlamaz sol tuş basılır"},
                  {2.95, "Bırakmak için parmakları kaldır"}},
        .scene = {.kind = Kind::card,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0.5, 0.3}, {2.9, 0.64}}),
                  .cursorY = ramp({{0.5, 0.34}, {2.9, 0.62}}),
                  .cardX = ramp({{0.85, 0.24}, {2.9, 0.58}}),
                  .cardY = ramp({{0.85, 0.28}, {2.9, 0.56}})},
        .note = "Sürükleme HAREKETLE başlıyor. Üç parmak hareketsiz durursa o jest derin bas "
                "oluyor — ikisini ayıran tek şey bu.",
    });

    demos.push_back({
        .id = "derin-bas",
        .group = "Sistem",
        .title = "Derin bas",
        .gesture = "Üç parmakla hareketsiz dokunma",
        .duration = 3.8,
        .fingers = {track({{0.8, {0.34, 0.44}, down}, {1.02, {0.34, 0.44}, up}}),
                    track({{0.82, {0.48, 0.38}, down}, {1.04, {0.48, 0.38}, up}}),
                    track({{0.84, {0.62, 0.44}, down}, {1.06, {0.62, 0.44}, up}})},
        .pulses = {{1.04, {0.48, 0.42}, PulseKind::deep}},
        .steps = {{0, "İmleci kelimenin üstüne getir"},
                  {0.78, "Üç parmakla dokun ve hiç kaydırma"},
                  {1.08, "Sözlük açılır — force click'in karşılığı"}},
        .scene = {.kind = Kind::lookup,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0, 0.34}}),
                  .cursorY = ramp({{0, 0.3}}),
                  .popup = ramp({{1.08, 0}, {1.36, 1}})},
        .note = "iPhone'da basınç ölçülemiyor, bu yüzden force click bu jeste taşındı. Apple'ın "
                "kendi trackpad rehberi de üç parmak dokunmayı force click'in eşdeğeri sayıyor "
                "— bu bir sapma değil, rehberin kendi alternatifi.",
    });

    demos.push_back({
        .id = "masaustu",
        .group = "Sistem",
        .title = "Masaüstünü göster",
        .gesture = "Dört parmakla hareketsiz dokunma",
        .duration = 4.4,
        .fingers = {track({{0.8, {0.22, 0.44}, down}, {1.04, {0.22, 0.44}, up}}),
                    track({{0.82, {0.4, 0.38}, down}, {1.06, {0.4, 0.38}, up}}),
                    track({{0.84, {0.58, 0.38}, down}, {1.08, {0.58, 0.38}, up}}),
                    track({{0.86, {0.76, 0.44}, down}, {1.1, {0.76, 0.44}, up}})},
        .pulses = {{1.08, {0.49, 0.41}, PulseKind::system}},
        .steps = {{0, "Dört parmağını birlikte koy"},
                  {0.78, "Kısa dokun ve kaydırma"},
                  {1.12, "Pencereler kenara çekilir, masaüstü görünür"},
                  {2.8, "Aynı jest pencereleri geri getirir"}},
        .scene = {.kind = Kind::desktop,
                  .unit = Unit::character,
                  .pointer = Anchor::scripted,
                  .cursorX = ramp({{0, 0.3}}),
                  .cursorY = ramp({{0, 0.34}}),
                  .reveal = ramp({{1.12, 0}, {1.9, 1}})},
        .note = "Parmak sayısı bir merdiven: 1 sol tık, 2 sağ tık, 3 derin bas, 4 masaüstü. Avuç "
                "ya da başparmak da yüzeye değip temas sayısını beşe çıkarabilir; ikisi de aynı "
                "jest sayılıyor. Yön taşımayan bir sistem eylemi için dokunma doğru jest — "
                "kaydırmanın yönü olur, dokunmanın olmaz. Mission Control'ün \"Masaüstünü "
                "Göster\" kısayolu gönderiliyor — hangi tuşa atandığı sistemden okunuyor. "
                "Kısayolu tamamen kapattıysan çalışmaz.",
    });

    return demos;
}

} // namespace

const std::vector<GestureDemo>& gestureCatalog() {
    static const std::vector<GestureDemo> catalog = makeCatalog();
    return catalog;
}

std::vector<std::string_view> gestureGroups(std::span<const GestureDemo> demos) {
    std::vector<std::string_view> groups;
    for (const GestureDemo& demo : demos) {
        if (std::find(groups.begin(), groups.end(), demo.group) == groups.end()) {
            groups.push_back(demo.group);
        }
    }
    return groups;
}

std::vector<std::string_view> gestureGroups() {
    return gestureGroups(gestureCatalog());
}

std::vector<const GestureDemo*> gestureDemosOfGroup(std::span<const GestureDemo> demos,
                                                    std::string_view group) {
    std::vector<const GestureDemo*> members;
    for (const GestureDemo& demo : demos) {
        if (demo.group == group) {
            members.push_back(&demo);
        }
    }
    return members;
}

std::vector<const GestureDemo*> gestureDemosOfGroup(std::string_view group) {
    return gestureDemosOfGroup(gestureCatalog(), group);
}

const GestureDemo* gestureDemoById(std::span<const GestureDemo> demos,
                                   std::string_view id) noexcept {
    for (const GestureDemo& demo : demos) {
        if (demo.id == id) {
            return &demo;
        }
    }
    return demos.empty() ? nullptr : &demos.front();
}

const GestureDemo& gestureDemo(std::string_view id) {
    return *gestureDemoById(gestureCatalog(), id);
}

} // namespace ravnix
