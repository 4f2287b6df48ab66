// Worker threads for a plug-in call: how many to start, and running them.
//
// Every plug-in that spreads its work takes the host's "maxNumCompThreads"
// the same way: a count below 2 (NaN included) runs on the calling thread
// alone, a larger one is truncated and capped at 1024, and there are never
// more workers than units of work to share. The calling thread takes the
// last share itself; the joins are the only synchronisation.
#pragma once

#include <cstdint>
#include <thread>
#include <vector>

namespace regkern {

inline int32_t worker_count(double host_threads, int64_t work_units)
{
    int32_t n = 1;
    if (host_threads >= 2) n = host_threads >= 1024 ? 1024 : static_cast<int32_t>(host_threads);
    if (n > work_units) n = work_units > 0 ? static_cast<int32_t>(work_units) : 1;
    return n;
}

// Where worker t of `workers` starts its share of `units` units of work
// (and worker t - 1 ends its own): shares as even as whole units allow, in
// order, so that worker t takes [share_start(t), share_start(t + 1)).
inline int32_t share_start(int32_t t, int32_t workers, int32_t units)
{
    return static_cast<int32_t>(static_cast<int64_t>(t) * units / workers);
}

// Runs work(&tasks[t]) for every task, each but the last on a thread of its
// own. A thread that cannot be started (std::system_error) fails the call
// once the started ones have been joined. work must not throw, and must
// not call the host.
template <class Task, class Work>
void run_workers(const std::vector<Task>& tasks, Work work)
{
    std::vector<std::thread> threads;
    threads.reserve(tasks.size() - 1);
    try {
        for (size_t t = 0; t + 1 < tasks.size(); ++t) threads.emplace_back(work, &tasks[t]);
    } catch (...) {
        for (std::thread& thread : threads) thread.join();
        throw;
    }
    work(&tasks.back());
    for (std::thread& thread : threads) thread.join();
}

}  // namespace regkern
