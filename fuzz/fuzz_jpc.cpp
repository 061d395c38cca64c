// The marker segment reader: segments are read one after another until the
// data ends or fails; each one read is dumped and written back, and the
// written bytes of a segment that was read whole must read again.
#include "fuzz_util.h"
#include "codestream/jpc.h"
#include "tier1/jpcod.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static FILE* devnull = std::fopen("/dev/null", "w");
    jpc_inittables();
    stream_t* in = fuzz_memstream(data, size);
    jpc_cstate_t* cstate = jpc_cstate_create();
    jpc_cstate_t* wstate = jpc_cstate_create();
    if (!in || !cstate || !wstate) {
        if (in)
            stream_close(in);
        if (cstate)
            jpc_cstate_destroy(cstate);
        if (wstate)
            jpc_cstate_destroy(wstate);
        return 0;
    }
    for (int n = 0; n < 4096; ++n) {
        const jpc_cstate_t before = *cstate;
        jpc_ms_t* ms = jpc_getms(in, cstate);
        if (!ms)
            break;
        if (devnull)
            jpc_ms_dump(ms, devnull);
        stream_t* out = stream_memopen(nullptr, 0);
        if (out) {
            const int readlen = ms->len;
            if (jpc_putms(out, wstate, ms) == 0 && ms->len == readlen &&
                stream_rewind(out) == 0) {
                // What was written reads again in the state it was read in
                // (segments read with trailing garbage are written shorter and
                // may then be refused: a POC too short for one change).
                jpc_cstate_t* rstate = jpc_cstate_create();
                if (rstate) {
                    *rstate = before;
                    jpc_ms_t* again = jpc_getms(out, rstate);
                    if (!again || jpc_ms_gettype(again) != jpc_ms_gettype(ms))
                        std::abort();
                    jpc_ms_destroy(again);
                    jpc_cstate_destroy(rstate);
                }
            }
            stream_close(out);
        }
        bool end = jpc_ms_gettype(ms) == JPC_MS_EOC;
        jpc_ms_destroy(ms);
        if (end)
            break;
    }
    jpc_cstate_destroy(wstate);
    jpc_cstate_destroy(cstate);
    stream_close(in);
    return 0;
}
