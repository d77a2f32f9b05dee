#pragma once
// Waits for something that cannot tell the test itself (the X server's state, a process, a bus
// name): the predicate is asked again every millisecond until it holds or `limit` passes.

#include <chrono>
#include <thread>

namespace ravnix::test {

template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace ravnix::test
