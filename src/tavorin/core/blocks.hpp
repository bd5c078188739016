// Running work over rows on threads started for one call.
#ifndef TAVORIN_CORE_BLOCKS_HPP
#define TAVORIN_CORE_BLOCKS_HPP

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace tavorin {

using BlockWork = void (*)(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept;

// How many threads to give m rows of n elements when the caller allows
// `allowed`: never more than rows, and one thread for work too small to
// repay starting another.
int block_count(std::ptrdiff_t m, std::ptrdiff_t n, std::ptrdiff_t allowed) noexcept;

// The calling thread and up to size() - 1 threads started with it, kept for
// one call and given one job after another.  A job's items are taken in
// grains by whichever thread is free, the caller's included, so a thread
// that starts late or is held up by another process takes fewer of them
// (a static split waits for its slowest thread: a second thread of this
// machine's two cores, idle for a millisecond, took that long to start).
// Between jobs the threads wait spinning for a while, then asleep.  All the
// threads are joined when the team is destroyed.
class Team {
public:
    // Starts threads - 1 threads: all of them or, when one cannot be
    // started, none (started() is then false and run() never runs a job).
    explicit Team(int threads) noexcept;
    Team(const Team &) = delete;
    Team &operator=(const Team &) = delete;
    ~Team();

    bool started() const noexcept { return started_; }
    int size() const noexcept { return static_cast<int>(threads_.size()) + 1; }

    // Runs work(context, begin, end) over [0, items) in ranges of `grain`
    // items (the last one shorter) and returns when every range has run.
    void run(std::ptrdiff_t items, std::ptrdiff_t grain, BlockWork work, void *context) noexcept;

    // The same with f(begin, end), any callable that throws nothing.
    template <class F>
    void run(std::ptrdiff_t items, std::ptrdiff_t grain, F &&f) noexcept
    {
        run(items, grain, call<std::remove_reference_t<F>>, context_of(f));
    }

    // The entry and the context run() takes, for a callable f(begin, end).
    template <class F>
    static void call(void *context, std::ptrdiff_t begin, std::ptrdiff_t end) noexcept
    {
        static_assert(noexcept((*static_cast<F *>(context))(begin, end)),
                      "the work of a team must not throw");
        (*static_cast<F *>(context))(begin, end);
    }
    template <class F>
    static void *context_of(F &f) noexcept
    {
        return const_cast<void *>(static_cast<const volatile void *>(std::addressof(f)));
    }

private:
    void serve() noexcept;
    // Has every thread leave and joins it.
    void stop() noexcept;
    // Takes and runs ranges of the current job until none is left; the lock is held on entry
    // and on return.
    void take(std::unique_lock<std::mutex> &lock) noexcept;

    std::mutex mutex_;
    std::condition_variable posted_;
    std::atomic<unsigned> job_{0};  // bumped for each job, and to stop
    bool stop_ = false;
    BlockWork work_ = nullptr;
    void *context_ = nullptr;
    std::ptrdiff_t items_ = 0;
    std::ptrdiff_t grain_ = 1;
    std::ptrdiff_t next_ = 0;
    std::atomic<std::ptrdiff_t> done_{0};
    std::vector<std::thread> threads_;
    bool started_ = true;
};

// Runs work over [0, m) on `blocks` threads (the calling one among them),
// in ranges of contiguous rows.  Either every range runs or none does: false
// when a thread could not be started, and then nothing ran.  Every thread
// started has ended when this returns.
bool run_in_blocks(std::ptrdiff_t m, int blocks, BlockWork work, void *context) noexcept;

// The same with f(begin, end).
template <class F>
bool run_in_blocks(std::ptrdiff_t m, int blocks, F &&f) noexcept
{
    return run_in_blocks(m, blocks, Team::call<std::remove_reference_t<F>>, Team::context_of(f));
}

}  // namespace tavorin

#endif
