// Runs independent jobs (one per column) on a few threads; each job writes only its
// own result slot, so no locking is needed and the results do not depend on timing.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <thread>
#include <vector>

namespace morvane::profile {

template <class F>
void parallel_for(std::size_t n_jobs, std::size_t n_threads, F&& job) {
    n_threads = std::max<std::size_t>(1, std::min(n_threads, n_jobs));
    if (n_threads == 1) {
        for (std::size_t i = 0; i < n_jobs; ++i) job(i);
        return;
    }
    std::atomic<std::size_t> next{0};
    std::exception_ptr failure;
    std::atomic<bool> failed{false};
    auto worker = [&] {
        for (std::size_t i; !failed.load() && (i = next.fetch_add(1)) < n_jobs;) {
            try {
                job(i);
            } catch (...) {
                if (!failed.exchange(true)) failure = std::current_exception();
            }
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(n_threads - 1);
    for (std::size_t t = 1; t < n_threads; ++t) threads.emplace_back(worker);
    worker();
    for (auto& t : threads) t.join();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace morvane::profile
