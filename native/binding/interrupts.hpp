// Ctrl-C during long native work. Python runs a signal's handler (KeyboardInterrupt for
// SIGINT) only when the interpreter checks for signals, which pure C++ loops never do:
// these helpers check between chunks of such work, so that a long loop stops within a
// few milliseconds of the signal, raising the handler's exception and handing back no
// partial result.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace velmora::binding {

namespace py = pybind11;

// With the GIL held: runs the handlers of the signals that arrived (on the main thread;
// elsewhere nothing) and throws py::error_already_set when one raised.
void check_signals();

// With the GIL released (inside py::gil_scoped_release): takes the GIL, runs the pending
// handlers and lets it go again; true when one raised, its exception then pending on this
// thread (thrown as py::error_already_set once the GIL is held again).
bool signal_raised_without_gil();

// How often the calling thread of run_chunks checks for signals, at most.
inline constexpr std::chrono::milliseconds signal_check_interval{10};

// Runs chunk(i) for every i in [0, n_chunks) on up to `threads` threads (the caller's
// included), with the GIL released: call it with the GIL held. Between its chunks the
// calling thread checks for signals; when a handler raises, no further chunk starts,
// the running ones finish, and the exception is thrown. chunk must be pure C++ (it runs
// without the GIL), must not throw, and should take a few milliseconds at most.
template <typename Chunk>
void run_chunks(std::size_t n_chunks, std::size_t threads, Chunk&& chunk) {
    if (n_chunks == 0) return;
    threads = std::max<std::size_t>(1, std::min(threads, n_chunks));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    bool interrupted = false;
    {
        py::gil_scoped_release released;
        auto work = [&] {
            while (!stop.load(std::memory_order_relaxed)) {
                const std::size_t i = next.fetch_add(1);
                if (i >= n_chunks) return;
                chunk(i);
            }
        };
        std::vector<std::thread> workers;
        workers.reserve(threads - 1);
        try {
            for (std::size_t t = 1; t < threads; ++t) workers.emplace_back(work);
        } catch (const std::system_error&) {  // NOLINT(bugprone-empty-catch): the caller's thread does the rest
        }
        auto checked = std::chrono::steady_clock::now();
        while (!stop.load(std::memory_order_relaxed)) {
            const std::size_t i = next.fetch_add(1);
            if (i >= n_chunks) break;
            chunk(i);
            const auto now = std::chrono::steady_clock::now();
            if (now - checked >= signal_check_interval) {
                checked = now;
                if (signal_raised_without_gil()) {
                    interrupted = true;
                    stop.store(true);
                }
            }
        }
        for (auto& worker : workers) worker.join();
    }
    if (interrupted) throw py::error_already_set();
}

}  // namespace velmora::binding
