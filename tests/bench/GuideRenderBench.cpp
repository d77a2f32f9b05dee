// One display frame of the gesture guide's main area (title, both drawings, progress bar,
// steps, note, controls) at the window's default size, rendered offscreen into an image.
// Target: at most 4 ms per frame, so 60 frames a second leave the main thread mostly idle.

#include "guide/GuideCatalog.hpp"
#include "ui/GuideMainArea.hpp"

#include <QApplication>
#include <QImage>
#include <benchmark/benchmark.h>
#include <string>

namespace {

void frameOfMainArea(benchmark::State& state, const std::string& id) {
    const ravnix::GestureDemo& demo = ravnix::gestureDemo(id);
    ravnix::GuideMainArea area;
    area.resize(940, 660);
    area.showDemo(demo);
    QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
    // Walk through the demonstration so that every phase of it is drawn.
    double t = 0;
    for (auto _ : state) {
        area.setFrame(t, 1.0);
        area.render(&image);
        benchmark::DoNotOptimize(image.constBits());
        t += 1.0 / 60;
        if (t > demo.duration) {
            t = 0;
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    for (const char* id : {"imlec", "sag-tik", "yakinlastir", "masaustu"}) {
        benchmark::RegisterBenchmark((std::string("GuideMainAreaFrame/") + id).c_str(),
                                     frameOfMainArea, std::string(id))
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
