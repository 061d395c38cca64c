// A small process-wide pool of worker threads for the independent pieces of
// a coding run (code blocks in tier-1, components in the transforms).
//
// threadpool_for() runs body(arg, i, worker) for every i in 0 .. count - 1,
// spread over the pool's workers and the calling thread, and returns when
// all are done.  worker (0 .. threadpool_numthreads() - 1) names the thread
// that runs the piece, so that each can keep its own scratch memory; the
// calling thread is worker 0.  The calling thread alone calls tick(arg,
// done) between its own pieces and once at the end (done = the number of
// pieces finished so far, which only grows): progress reports, and so every
// call into the window, stay on the calling thread.
//
// Bodies must not depend on the order in which pieces run; results stay
// byte-identical to a run on one thread.  A run that starts while another is
// in progress (from a body, or from another thread) runs on its calling
// thread alone.
#ifndef JPEG2000_THREADPOOL_H
#define JPEG2000_THREADPOOL_H

#include <cstdint>

// Number of threads a run uses (>= 1): the one set last, else the
// machine's cores.
int threadpool_numthreads();
// Sets the number of threads; n < 1 means the machine's cores.
void threadpool_setnumthreads(int n);

typedef void (*threadpool_body_t)(void* arg, int64_t i, int worker);
typedef void (*threadpool_tick_t)(void* arg, int64_t done);

void threadpool_for(int64_t count, threadpool_body_t body, threadpool_tick_t tick, void* arg);

#endif
