// ping: round trips to the paired desktop, their latency and the clock offset between the two.

#include "cli/phone/PhoneCommands.hpp"
#include "transport/CFormat.hpp"

namespace ravnix::phone {

namespace {

std::string offsetLine(const PhoneLink::PingReport& report) {
    const auto offset = report.offsets.offset();
    if (!offset) {
        return "saat farkı: ölçülemedi";
    }
    return formatC("saat farkı (masaüstü − telefon): %+.3f ms  (%zu ölçüm)",
                   static_cast<double>(*offset) / 1e6, report.offsets.offsets.size());
}

} // namespace

int ping(Context& context) {
    using namespace std::chrono_literals;
    const auto desktop = pairedDesktop(context);
    if (!desktop) {
        return fail(desktop.error());
    }
    auto link = openLink(context, *desktop);
    if (!link) {
        return fail(link.error());
    }
    const auto waitEach = std::min<std::chrono::milliseconds>(1000ms, context.options.timeout);
    const auto report = (*link)->ping(context.options.count, 20ms, waitEach);
    say(report.statistics.description());
    say(offsetLine(report));
    if (report.statistics.sampleCount == 0) {
        return fail("zaman aşımı: masaüstü ping'lere yanıt vermedi");
    }
    return 0;
}

} // namespace ravnix::phone
