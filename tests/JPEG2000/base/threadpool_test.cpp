#include "base/threadpool.h"

#include <gtest/gtest.h>

#include "testutil.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

using namespace testutil;

struct job_t {
    std::vector<std::atomic<int>> runs;
    std::vector<int64_t> ticks;
    std::thread::id caller;
    bool tickoffcaller = false;
    explicit job_t(int64_t n) : runs(n) {}
};

void body(void* arg, int64_t i, int worker)
{
    job_t* job = static_cast<job_t*>(arg);
    EXPECT_GE(worker, 0);
    EXPECT_LT(worker, threadpool_numthreads());
    job->runs[i].fetch_add(1);
}

void tick(void* arg, int64_t done)
{
    job_t* job = static_cast<job_t*>(arg);
    if (std::this_thread::get_id() != job->caller)
        job->tickoffcaller = true;
    job->ticks.push_back(done);
}

// Every piece runs exactly once; ticks come from the calling thread only,
// never go back, and end at the number of pieces.
void checkrun(int threads, int64_t count)
{
    threadpool_setnumthreads(threads);
    job_t job(count);
    job.caller = std::this_thread::get_id();
    threadpool_for(count, body, tick, &job);
    for (int64_t i = 0; i < count; ++i)
        ASSERT_EQ(job.runs[i].load(), 1) << "piece " << i << " with " << threads << " threads";
    EXPECT_FALSE(job.tickoffcaller);
    ASSERT_FALSE(job.ticks.empty());
    for (size_t k = 1; k < job.ticks.size(); ++k)
        EXPECT_LE(job.ticks[k - 1], job.ticks[k]);
    EXPECT_EQ(job.ticks.back(), count);
}

TEST(ThreadPool, EveryPieceOnceWithTicksOnTheCaller)
{
    for (int threads : {1, 2, 4})
        for (int64_t count : {0, 1, 3, 1000})
            checkrun(threads, count);
    threadpool_setnumthreads(0);
}

// A run started from inside a piece runs on that thread alone and
// completes; so does the outer run.
TEST(ThreadPool, NestedRunsComplete)
{
    threadpool_setnumthreads(3);
    std::atomic<int64_t> inner{0};
    struct outer_t {
        std::atomic<int64_t>* inner;
    } outer{&inner};
    threadpool_for(
        8,
        [](void* arg, int64_t, int) {
            auto* o = static_cast<outer_t*>(arg);
            threadpool_for(
                5, [](void* a, int64_t, int) { static_cast<std::atomic<int64_t>*>(a)->fetch_add(1); },
                nullptr, o->inner);
        },
        nullptr, &outer);
    EXPECT_EQ(inner.load(), 40);
    threadpool_setnumthreads(0);
}

TEST(ThreadPool, ThreadCount)
{
    threadpool_setnumthreads(0);
    EXPECT_GE(threadpool_numthreads(), 1);
    threadpool_setnumthreads(5);
    EXPECT_EQ(threadpool_numthreads(), 5);
    threadpool_setnumthreads(-3);
    EXPECT_GE(threadpool_numthreads(), 1);
}

// The coders run their code blocks on the pool: code streams and decoded
// samples do not depend on the number of threads, whatever the options.
TEST(ThreadPool, CodingIsIdenticalOnAnyNumberOfThreads)
{
    TempDir dir;
    ASSERT_TRUE(dir.ok());
    const std::string src = dir.file("in.ppm");
    ASSERT_TRUE(write_pnm(src, make_picture(300, 211, 3, 8, true, 7)));
    const char* optionsets[] = {"", "rate=0.05 maxrlvls=6 cblkwidth=32 cblkheight=32",
                                "mode=real lazy termall segsym vertcausal rate=0.3"};
    for (const char* opts : optionsets) {
        std::vector<uint8_t> streams[3];
        std::vector<uint8_t> decoded[3];
        const int threads[] = {1, 2, 5};
        for (int k = 0; k < 3; ++k) {
            const std::string n = std::to_string(threads[k]);
            const std::string j2k = dir.file("out" + n + ".j2k");
            const std::string ppm = dir.file("dec" + n + ".ppm");
            ASSERT_EQ(run_command(shell_quote(JP2C_PATH) + " encode " + shell_quote(src) + " " +
                                  shell_quote(j2k) + " --options " + shell_quote(opts) +
                                  " --threads " + n),
                      0);
            ASSERT_EQ(run_command(shell_quote(JP2C_PATH) + " decode " + shell_quote(j2k) + " " +
                                  shell_quote(ppm) + " --threads " + n),
                      0);
            streams[k] = read_file(j2k);
            decoded[k] = read_file(ppm);
            ASSERT_FALSE(streams[k].empty());
        }
        EXPECT_EQ(streams[0], streams[1]) << opts;
        EXPECT_EQ(streams[0], streams[2]) << opts;
        EXPECT_EQ(decoded[0], decoded[1]) << opts;
        EXPECT_EQ(decoded[0], decoded[2]) << opts;
    }
}

}  // namespace
