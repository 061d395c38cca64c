// Process-wide worker pool: workers sleep on a condition variable until a
// run is posted, take pieces from a shared counter, and leave when the
// counter is exhausted.
#include "base/threadpool.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

int cores()
{
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(std::min(n, 256u)) : 1;
}

struct pool_t {
    std::mutex runlock;            // held by the thread whose run is posted
    std::mutex m;                  // guards the fields below
    std::condition_variable wake;  // a run was posted, or quit
    std::condition_variable idle;  // a worker finished its share
    std::vector<std::thread> workers;
    uint64_t generation = 0;
    bool quit = false;
    int busy = 0;                  // workers still in the current run

    threadpool_body_t body = nullptr;
    void* arg = nullptr;
    int64_t count = 0;
    std::atomic<int64_t> next{0};
    std::atomic<int64_t> done{0};

    std::atomic<int> numthreads{0};  // 0: not set

    ~pool_t() { stop(); }

    void stop()
    {
        {
            std::lock_guard<std::mutex> lk(m);
            quit = true;
        }
        wake.notify_all();
        for (std::thread& t : workers)
            t.join();
        workers.clear();
        quit = false;
    }

    // Runs pieces of the current run until none is left.
    void work(int worker)
    {
        for (;;) {
            const int64_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= count)
                return;
            body(arg, i, worker);
            done.fetch_add(1, std::memory_order_release);
        }
    }

    void loop(int worker)
    {
        uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock<std::mutex> lk(m);
                wake.wait(lk, [&] { return quit || generation != seen; });
                if (quit)
                    return;
                seen = generation;
            }
            work(worker);
            {
                std::lock_guard<std::mutex> lk(m);
                --busy;
            }
            idle.notify_one();
        }
    }

    // Brings the pool to n - 1 workers (the calling thread is the n-th).
    void resize(int n)
    {
        if (static_cast<int>(workers.size()) == n - 1)
            return;
        stop();
        for (int w = 1; w < n; ++w)
            workers.emplace_back([this, w] { loop(w); });
    }
};

pool_t& pool()
{
    static pool_t p;
    return p;
}

}  // namespace

int threadpool_numthreads()
{
    const int n = pool().numthreads.load(std::memory_order_relaxed);
    return n > 0 ? n : cores();
}

void threadpool_setnumthreads(int n)
{
    pool().numthreads.store(n > 0 ? std::min(n, 256) : 0, std::memory_order_relaxed);
}

void threadpool_for(int64_t count, threadpool_body_t body, threadpool_tick_t tick, void* arg)
{
    if (count <= 0) {
        if (tick)
            tick(arg, 0);
        return;
    }
    pool_t& p = pool();
    const int n = threadpool_numthreads();
    std::unique_lock<std::mutex> run(p.runlock, std::defer_lock);
    if (n <= 1 || count == 1 || !run.try_lock()) {
        for (int64_t i = 0; i < count; ++i) {
            body(arg, i, 0);
            if (tick)
                tick(arg, i + 1);
        }
        return;
    }

    p.resize(n);
    {
        std::lock_guard<std::mutex> lk(p.m);
        p.body = body;
        p.arg = arg;
        p.count = count;
        p.next.store(0, std::memory_order_relaxed);
        p.done.store(0, std::memory_order_relaxed);
        p.busy = static_cast<int>(p.workers.size());
        ++p.generation;
    }
    p.wake.notify_all();

    // The calling thread takes pieces too, reporting between them.
    for (;;) {
        const int64_t i = p.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= count)
            break;
        body(arg, i, 0);
        const int64_t d = p.done.fetch_add(1, std::memory_order_acq_rel) + 1;
        if (tick)
            tick(arg, d);
    }
    // Wait for the workers' last pieces, still reporting now and then.
    std::unique_lock<std::mutex> lk(p.m);
    while (p.busy > 0) {
        p.idle.wait_for(lk, std::chrono::milliseconds(20));
        if (tick && p.busy > 0) {
            lk.unlock();
            tick(arg, p.done.load(std::memory_order_acquire));
            lk.lock();
        }
    }
    lk.unlock();
    if (tick)
        tick(arg, count);
}
