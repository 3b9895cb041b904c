// Running independent shares of a pure C++ computation on several threads.
#pragma once

#include <algorithm>
#include <cstddef>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace velmora {

// Runs body(t) for t in [0, threads), on that many threads (the caller's included).
// When the system refuses a thread, the caller's thread runs the shares that did not
// get one, so the work is done either way and no joinable thread is left behind.
// `body` must not throw.
template <typename Body>
void run_parallel(std::size_t threads, Body&& body) {
    std::vector<std::thread> workers;
    workers.reserve(threads);
    std::size_t started = 1;
    try {
        for (; started < threads; ++started) workers.emplace_back(body, started);
    } catch (const std::system_error&) {  // NOLINT(bugprone-empty-catch): the shares are run below
    }
    body(0);
    for (std::size_t t = started; t < threads; ++t) body(t);
    for (auto& worker : workers) worker.join();
}

// The range [first, last) of n items that share t of `threads` gets.
inline std::pair<std::size_t, std::size_t> share_of(std::size_t n, std::size_t t, std::size_t threads) {
    const std::size_t size = (n + threads - 1) / threads;
    const std::size_t first = std::min(n, t * size);
    return {first, std::min(n, first + size)};
}

}  // namespace velmora
