// Splitting a fill into blocks of work over a few threads. No Python here.
//
// The calling thread takes blocks too, and between its blocks it asks
// `interrupted()` whether to stop (the glue checks for signals there, since
// only the thread that holds the interpreter lock may). Workers take blocks
// from a shared counter, so uneven blocks balance themselves, and every
// block is computed by the same code whichever thread takes it: the results
// do not depend on the number of threads.
//
// `interrupted()` may run Python signal handlers, and a handler may fork.
// The child has only the calling thread: the blocks that the workers had
// taken may be half written there, and the workers can be neither joined
// nor waited for. So the calling thread notes which blocks it finished
// itself; once the process id has changed, it computes every other block
// alone and leaves the workers' thread objects unjoined.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <unistd.h>
#define RANDOM_FIELD_HAVE_FORK 1
#endif

namespace random_field {

// The number of threads a fill may use: RANDOM_FIELD_NUM_THREADS when it is
// a positive integer, else the number of cores this process may run on.
inline int configured_threads() {
    if (const char* env = std::getenv("RANDOM_FIELD_NUM_THREADS")) {
        char* end = nullptr;
        const long v = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && v >= 1) return v > 256 ? 256 : static_cast<int>(v);
    }
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n >= 1) return n;
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n >= 1 ? static_cast<int>(n) : 1;
}

// Runs work(b, w) for every block b in [0, nblocks) on up to `threads`
// threads, w in [0, threads) naming the thread (for its scratch memory).
// Returns false when `interrupted()` asked to stop; the remaining blocks are
// then skipped, and every worker has been joined either way.
template <class Work, class Interrupted>
bool run_blocks(std::ptrdiff_t nblocks, int threads, const Work& work,
                const Interrupted& interrupted) {
    if (threads <= 1 || nblocks <= 1) {
        for (std::ptrdiff_t b = 0; b < nblocks; ++b) {
            work(b, 0);
            if (interrupted()) return false;
        }
        return true;
    }
#ifdef RANDOM_FIELD_HAVE_FORK
    const pid_t pid = getpid();
#endif
    // Blocks finished by the calling thread (read only after a fork).
    std::vector<unsigned char> mine(static_cast<std::size_t>(nblocks), 0);
    std::atomic<std::ptrdiff_t> next{0};
    std::atomic<bool> stop{false};
    auto worker = [&](int w) {
        while (!stop.load(std::memory_order_relaxed)) {
            const std::ptrdiff_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b >= nblocks) return;
            work(b, w);
        }
    };

    std::vector<std::thread> pool;
    {
        const std::ptrdiff_t extra = std::min<std::ptrdiff_t>(threads - 1, nblocks - 1);
        pool.reserve(static_cast<std::size_t>(extra));
        for (std::ptrdiff_t t = 0; t < extra; ++t) {
            try {
                pool.emplace_back(worker, static_cast<int>(t) + 1);
            } catch (const std::system_error&) {
                break;  // fewer threads than asked for: the rest still gets done
            }
        }
    }

    bool completed = true;
    while (!stop.load(std::memory_order_relaxed)) {
        const std::ptrdiff_t b = next.fetch_add(1, std::memory_order_relaxed);
        if (b >= nblocks) break;
        work(b, 0);
        mine[static_cast<std::size_t>(b)] = 1;
        const bool asked = interrupted();
#ifdef RANDOM_FIELD_HAVE_FORK
        if (getpid() != pid) {
            // A forked child: the workers do not exist here. Their thread
            // objects are left alive (destroying a joinable one terminates).
            (void)new std::vector<std::thread>(std::move(pool));
            if (asked) return false;
            for (std::ptrdiff_t c = 0; c < nblocks; ++c) {
                if (mine[static_cast<std::size_t>(c)]) continue;
                work(c, 0);
                if (interrupted()) return false;
            }
            return true;
        }
#endif
        if (asked) {
            stop.store(true, std::memory_order_relaxed);
            completed = false;
        }
    }
    for (std::thread& t : pool) t.join();
    return completed;
}

}  // namespace random_field
