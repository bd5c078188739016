// Running work over rows on threads started for one call.
//
// Threads live for one call and are joined before it returns, so nothing
// outlives the call and a process forked afterwards owns no thread or lock of
// ours (a pool kept between calls, as GNU OpenMP keeps one, hangs a forked
// child that uses it).  Starting a thread costs tens of microseconds, which
// the block sizes below repay.
#include "core/blocks.hpp"

#include "core/compiler.hpp"
#include "core/tuning.hpp"

#include <chrono>

namespace tavorin {

namespace {

using tuning::k_min_elements_per_thread;
using tuning::k_ranges_per_thread;
using tuning::k_spin;

}  // namespace

int block_count(std::ptrdiff_t m, std::ptrdiff_t n, std::ptrdiff_t allowed) noexcept
{
    std::ptrdiff_t blocks = allowed < m ? allowed : m;
    const std::ptrdiff_t by_work = (m * n) / k_min_elements_per_thread;
    blocks = by_work < blocks ? by_work : blocks;
    constexpr std::ptrdiff_t k_most = 1 << 16;
    blocks = blocks < k_most ? blocks : k_most;
    return blocks > 1 ? static_cast<int>(blocks) : 1;
}

Team::Team(int threads) noexcept
{
    if (threads <= 1) {
        return;
    }
    try {
        threads_.reserve(static_cast<std::size_t>(threads - 1));
        for (int k = 1; k < threads; ++k) {
            threads_.emplace_back([this]() noexcept { serve(); });
        }
    }
    catch (...) {
        // std::system_error from a thread that could not be started, or
        // std::bad_alloc from the vector: the threads already waiting leave
        // before any job was posted.
        started_ = false;
        stop();
    }
}

Team::~Team()
{
    stop();
}

void Team::stop() noexcept
{
    if (threads_.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        job_.fetch_add(1, std::memory_order_release);
    }
    posted_.notify_all();
    for (std::thread &thread : threads_) {
        thread.join();
    }
    threads_.clear();
}

void Team::take(std::unique_lock<std::mutex> &lock) noexcept
{
    while (next_ < items_) {
        const std::ptrdiff_t begin = next_;
        const std::ptrdiff_t end = items_ - begin > grain_ ? begin + grain_ : items_;
        next_ = end;
        const BlockWork work = work_;
        void *const context = context_;
        lock.unlock();
        work(context, begin, end);
        done_.fetch_add(end - begin, std::memory_order_acq_rel);
        lock.lock();
    }
}

void Team::serve() noexcept
{
    unsigned seen = 0;
    for (;;) {
        // Spin while the next job is likely to come soon, then sleep.
        const auto until = std::chrono::steady_clock::now() + k_spin;
        for (int spins = 1; job_.load(std::memory_order_acquire) == seen; ++spins) {
            spin_pause();
            if (spins % 256 == 0 && std::chrono::steady_clock::now() > until) {
                break;
            }
        }
        std::unique_lock<std::mutex> lock(mutex_);
        posted_.wait(lock, [&] { return job_.load(std::memory_order_relaxed) != seen; });
        seen = job_.load(std::memory_order_relaxed);
        if (stop_) {
            return;
        }
        take(lock);
    }
}

void Team::run(std::ptrdiff_t items, std::ptrdiff_t grain, BlockWork work, void *context) noexcept
{
    if (!started_ || items <= 0) {
        return;
    }
    if (threads_.empty()) {
        work(context, 0, items);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    work_ = work;
    context_ = context;
    items_ = items;
    grain_ = grain > 0 ? grain : 1;
    next_ = 0;
    done_.store(0, std::memory_order_relaxed);
    job_.fetch_add(1, std::memory_order_release);
    lock.unlock();
    posted_.notify_all();
    lock.lock();
    take(lock);
    lock.unlock();
    // What is left runs on other threads, each range of it already started;
    // one of them held up by the system gets this core after a while.
    for (int spins = 1; done_.load(std::memory_order_acquire) < items; ++spins) {
        spin_pause();
        if (spins % 1024 == 0) {
            std::this_thread::yield();
        }
    }
}

bool run_in_blocks(std::ptrdiff_t m, int blocks, BlockWork work, void *context) noexcept
{
    if (blocks <= 1) {
        work(context, 0, m);
        return true;
    }
    Team team(blocks);
    if (!team.started()) {
        return false;
    }
    const std::ptrdiff_t ranges = blocks * k_ranges_per_thread;
    team.run(m, (m + ranges - 1) / ranges, work, context);
    return true;
}

}  // namespace tavorin
