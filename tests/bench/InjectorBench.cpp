// Per-call cost of the pointer injector's hot operations with the recording backend, and of
// one real X11 motion event (post + flush) when a display is available.

#include "input/PointerInjector.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "platform/events/x11/X11EventSystem.hpp"

#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace ravnix;

std::shared_ptr<RecordingEventSystem> countingEvents() {
    auto events = std::make_shared<RecordingEventSystem>();
    events->setKeepEvents(false);
    return events;
}

void InjectorMove(benchmark::State& state) {
    auto events = countingEvents();
    PointerInjector injector(events, PointerSettings::standard, {});
    double direction = 1;
    for (auto _ : state) {
        injector.move(0.002 * direction, 0.001, 1.0 / 120);
        direction = -direction; // stay on the display
    }
    state.SetLabel("recording backend");
}
BENCHMARK(InjectorMove);

void InjectorScroll(benchmark::State& state) {
    auto events = countingEvents();
    PointerInjector injector(events, PointerSettings::standard, {});
    for (auto _ : state) {
        injector.scroll(ScrollPhase::changed, 0, 3.7, -2.2);
    }
    state.SetLabel("recording backend");
}
BENCHMARK(InjectorScroll);

// The display is opened once in main(); without one the benchmark is not registered at all,
// so that every repetition agrees (a run skipped in one repetition only aborts the program).
std::shared_ptr<EventSystem> display;

void X11MotionPostAndFlush(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        auto event = display->mouseEvent(std::nullopt, MouseEventType::mouseMoved,
                                         {100.0 + (i++ % 500), 300.0}, MouseButton::left);
        display->post(*event);
    }
}

} // namespace

#include "input/TouchInterpreter.hpp"

namespace {

// One frame through the interpreter and the injector to the recording backend.
void InterpreterFrame(benchmark::State& state) {
    const auto count = static_cast<std::size_t>(state.range(0));
    auto events = countingEvents();
    std::uint64_t now = 1'000'000'000ULL;
    auto clock = [&now] { return now; };
    auto injector = std::make_shared<PointerInjector>(events, PointerSettings::standard,
                                                      std::filesystem::path{}, clock);
    auto interpreter =
        TouchInterpreter::make({injector, ScrollSettings::standard, nullptr, nullptr, {}, clock})
            .value();
    std::array<FingerSample, 2> fingers{FingerSample{1, FingerPhase::moved, 0.3f, 0.5f, 5},
                                        FingerSample{2, FingerPhase::moved, 0.6f, 0.5f, 5}};
    TouchHeader header{0, 0, 0, static_cast<std::uint8_t>(count), {}, 1};
    float wobble = 0.001f;
    for (auto _ : state) {
        now += 8'333'333;
        header.deviceTimeNanos += 8'333'333;
        ++header.sequence;
        wobble = -wobble;
        fingers[0].y += wobble;
        fingers[1].y += wobble;
        interpreter->handle(header, std::span<const FingerSample>(fingers).first(count));
    }
    state.SetLabel(count == 1 ? "one finger: motion" : "two fingers: scroll");
}
BENCHMARK(InterpreterFrame)->Arg(1)->Arg(2);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (auto opened = ravnix::X11EventSystem::open(nullptr); opened && (*opened)->isTrusted()) {
        display = *opened;
        benchmark::RegisterBenchmark("X11MotionPostAndFlush", X11MotionPostAndFlush)
            ->Unit(benchmark::kMicrosecond)
            ->Iterations(5000);
    } else {
        std::fprintf(stderr, "no X display with XTEST: the X11 motion row is left out\n");
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
