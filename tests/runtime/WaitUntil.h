#pragma once

#include <chrono>
#include <thread>

namespace NerraTest {

// Polls the condition until it holds or the limit passes; the limit only bounds a failing
// test, so it is generous and never a measure of speed.
template <class Condition>
bool WaitUntil(Condition condition, int limitMs = 10000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace NerraTest
