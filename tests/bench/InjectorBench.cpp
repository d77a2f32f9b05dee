// Per-call cost of the pointer injector's hot operations with the recording backend, and,
// when a display answers, of the X11 backend beside its floor in the same run: one motion
// posted and flushed against a bare XTestFakeMotionEvent + XFlush, and a whole motion frame
// through the injector with the X round trips it waited for.

#include "input/PointerInjector.hpp"
#include "input/TouchInterpreter.hpp"
#include "platform/events/RecordingEventSystem.hpp"
#include "platform/events/x11/X11EventSystem.hpp"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
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

// The displays are opened once in main(); without one the X11 benchmarks are not registered
// at all, so that every repetition agrees (a run skipped in one repetition only aborts the
// program).
std::shared_ptr<X11EventSystem> display;
Display* bareDisplay = nullptr;

void X11MotionPostAndFlush(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        auto event = display->mouseEvent(std::nullopt, MouseEventType::mouseMoved,
                                         {100.0 + (i++ % 500), 300.0}, MouseButton::left);
        display->post(*event);
    }
    state.SetLabel("X11 backend");
}

// The floor: the same motion as bare Xlib calls.
void X11BareXTestMotion(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) {
        XTestFakeMotionEvent(bareDisplay, -1, 100 + (i++ % 500), 300, CurrentTime);
        XFlush(bareDisplay);
    }
    state.SetLabel("XTestFakeMotionEvent + XFlush");
}

// A whole motion frame: pointer, displays, acceleration, post. Back to back, so the answer
// to the query sent with one frame is often still on its way when the next one asks.
void X11MotionFrame(benchmark::State& state) {
    PointerInjector injector(display, PointerSettings::standard, {});
    injector.move(0.002, 0.001, 1.0 / 120); // reads the monitors once
    const std::uint64_t before = display->roundTrips();
    double direction = 1;
    for (auto _ : state) {
        injector.move(0.002 * direction, 0.001 * direction, 1.0 / 120);
        direction = -direction;
    }
    // In the label, not a counter: the CSV output takes only the counters of its first row.
    // And as a bound, because repetitions whose labels differ lose them in the summary.
    const std::uint64_t trips = display->roundTrips() - before;
    state.SetLabel(trips <= static_cast<std::uint64_t>(state.iterations())
                       ? "injector + X11 backend: at most 1 round trip per frame"
                       : "injector + X11 backend: MORE than 1 round trip per frame");
}

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
    auto opened = ravnix::X11EventSystem::open(nullptr);
    bareDisplay = XOpenDisplay(nullptr);
    if (opened && (*opened)->isTrusted() && bareDisplay != nullptr) {
        display = *opened;
        using Run = void (*)(benchmark::State&);
        for (const auto& [name, run] :
             {std::pair<const char*, Run>{"X11MotionPostAndFlush", X11MotionPostAndFlush},
              {"X11BareXTestMotion", X11BareXTestMotion},
              {"X11MotionFrame", X11MotionFrame}}) {
            benchmark::RegisterBenchmark(name, run)
                ->Unit(benchmark::kMicrosecond)
                ->Iterations(5000);
        }
    } else {
        std::fprintf(stderr, "no X display with XTEST: the X11 rows are left out\n");
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (bareDisplay != nullptr) {
        XCloseDisplay(bareDisplay);
    }
    return 0;
}
