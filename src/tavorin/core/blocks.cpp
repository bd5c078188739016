// Running work over contiguous blocks of rows on threads started for one call.
//
// Threads live for one call and are joined before it returns, so nothing
// outlives the call and a process forked afterwards owns no thread or lock of
// ours (a pool kept between calls, as GNU OpenMP keeps one, hangs a forked
// child that uses it).  Starting a thread costs tens of microseconds, which
// the block sizes below repay.
#include "core/blocks.hpp"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace tavorin {

namespace {

// Below this many elements per thread another thread costs more than it saves.
constexpr std::ptrdiff_t k_min_elements_per_thread = 16384;

// Holds the started threads until all of them exist, then lets them all work
// or all leave without working.
class StartGate {
public:
    bool wait() noexcept
    {
        std::unique_lock<std::mutex> lock(mutex_);
        opened_.wait(lock, [this] { return decided_; });
        return go_;
    }
    void decide(bool go) noexcept
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            decided_ = true;
            go_ = go;
        }
        opened_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable opened_;
    bool decided_ = false;
    bool go_ = false;
};

std::ptrdiff_t block_start(std::ptrdiff_t m, int blocks, int k) noexcept
{
    return static_cast<std::ptrdiff_t>(static_cast<long double>(m) * k / blocks);
}

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

bool run_in_blocks(std::ptrdiff_t m, int blocks, BlockWork work, void *context) noexcept
{
    if (blocks <= 1) {
        work(context, 0, m);
        return true;
    }
    StartGate gate;
    std::vector<std::thread> threads;
    bool started = true;
    try {
        threads.reserve(static_cast<std::size_t>(blocks - 1));
        for (int k = 1; k < blocks; ++k) {
            const std::ptrdiff_t begin = block_start(m, blocks, k);
            const std::ptrdiff_t end = block_start(m, blocks, k + 1);
            threads.emplace_back([&gate, work, context, begin, end]() noexcept {
                if (gate.wait()) {
                    work(context, begin, end);
                }
            });
        }
    }
    catch (...) {
        // std::system_error from a thread that could not be started, or
        // std::bad_alloc from the vector: the threads already waiting leave.
        started = false;
    }
    gate.decide(started);
    if (started) {
        work(context, 0, block_start(m, blocks, 1));
    }
    for (std::thread &thread : threads) {
        thread.join();
    }
    return started;
}

}  // namespace tavorin
