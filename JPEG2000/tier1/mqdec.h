// MQ arithmetic decoder (T.800 Annex C.3), and the probability state table
// shared with the encoder (module mqenc).
//
// A decoder context is a slot holding Qe, the MPS and the number of its
// entry of the 94-entry state table; a state change is a single store of
// the successor slot.  The decoder reads its codeword from a byte stream or
// from memory, up to six bytes ahead; past the end of the data it reads 1
// bits, as if the data were padded with 0xFF bytes, and never fails.
//
// Two ways of decoding:
//  - mqdec_setcurctx() + mqdec_getbit(): registers and current context in
//    the decoder object;
//  - mqdec_getregs() + mqdec_decode() + mqdec_setregs(): the tier-1 decoder
//    keeps A, C and CT in a local mqdregs_t (in machine registers) across
//    many decisions and names the context slot directly.  The whole step is in
//    line but for byte input; mqdec_decodeflat() is the same step without
//    a branch on the decision, for contexts that are seldom well predicted.
#ifndef JPEG2000_MQDEC_H
#define JPEG2000_MQDEC_H

#include <cstdint>
#include <cstdio>

#include "base/stream.h"

// ---------------------------------------------------------------------------
// Probability state table (T.800 Table C.2).

// Entries: 47 probability indices x 2 MPS values, entry 2 * index + mps.
constexpr int MQ_NUMSTATES = 94;

struct mqstate_t {
    uint16_t qeval;            // Qe
    uint16_t mps;              // MPS value of this entry (0 or 1)
    const mqstate_t* nmps;     // next entry after an MPS renormalization
    const mqstate_t* nlps;     // next entry after an LPS
};

extern const mqstate_t mqstates[MQ_NUMSTATES];

// Initial state of one context.
struct mqctx_t {
    int mps;                   // 0 or 1
    int ind;                   // probability index 0..46
};

// Entry for an initial state (mps 0 or 1, index 0..46).
inline const mqstate_t* mq_state(int mps, int ind) { return &mqstates[2 * ind + (mps & 1)]; }
// Position of an entry in the table.
inline int mq_stateno(const mqstate_t* state) { return static_cast<int>(state - mqstates); }

// Encoder registers (module mqenc), held in locals by the tier-1 encoder.
struct mqregs_t {
    uint32_t a;                // interval register A
    uint32_t c;                // code register C
    int32_t ct;                // bit counter CT
};

// ---------------------------------------------------------------------------
// Decoder.

// A decoder context slot holds its probability state itself, so that a
// decision needs one load for it: Qe in bits 16..31 (in place to be
// subtracted from C's top half), the table entry 2 * index + MPS in bits
// 0..7, the MPS in bit 0.
using mqslot_t = uint32_t;

inline mqslot_t mq_slot(const mqstate_t* state)
{
    return uint32_t{state->qeval} << 16 | static_cast<uint32_t>(mq_stateno(state));
}

// Successor slots by entry: [2 * entry] after an MPS renormalization,
// [2 * entry + 1] after an LPS.
extern const mqslot_t mqdec_next[2 * MQ_NUMSTATES];

// Decoder registers, held in locals by the tier-1 decoder.  C is 64 bits
// wide: its top 16 bits are the ones compared with Qe (C's high half of
// T.800), and CT counts the bits of code read ahead below them, up to 48,
// so that most renormalizations need no byte input.
struct mqdregs_t {
    uint32_t a;                // interval register A
    int32_t ct;                // code bits in C below its top 16
    uint64_t c;                // code register C
};

struct mqdec_t {
    uint64_t creg;
    uint32_t areg;
    int32_t ctreg;
    int maxctxs;               // number of contexts (>= 1)
    mqslot_t* ctxs;            // the contexts (owned)
    mqslot_t* curctx;          // the current context
    stream_t* in;              // input (not owned); nullptr reads as end of data
    const uint8_t* bp;         // input in memory (not owned), when not nullptr:
    const uint8_t* bend;       // the bytes bp .. bend - 1 still to read
    int inbuffer;              // the byte read last
    int eof;                   // the input has no more bytes
};

// New decoder with maxctxs (> 0) contexts, all at entry 0 (index 0, MPS 0).
// With an input stream it is initialised at once.  nullptr when memory runs
// out.
mqdec_t* mqdec_create(int maxctxs, stream_t* in);
void mqdec_destroy(mqdec_t* dec);
// Points the decoder at another input; call mqdec_init() before decoding.
void mqdec_setinput(mqdec_t* dec, stream_t* in);
// The same for len bytes in memory (kept by the caller while decoding).
void mqdec_setbuf(mqdec_t* dec, const uint8_t* data, int64_t len);
// Starts decoding a codeword (T.800 INITDEC); the contexts keep their states.
void mqdec_init(mqdec_t* dec);
// The first min(numctxs, maxctxs) contexts take the states of ctxs; the
// others take entry 0.
void mqdec_setctxs(mqdec_t* dec, int numctxs, const mqctx_t* ctxs);
// Sets one context.
void mqdec_setctx(mqdec_t* dec, int ctxno, const mqctx_t* ctx);

// The slot of context ctxno.
inline mqslot_t* mqdec_ctx(mqdec_t* dec, int ctxno) { return &dec->ctxs[ctxno]; }
inline void mqdec_setcurctx(mqdec_t* dec, int ctxno) { dec->curctx = &dec->ctxs[ctxno]; }

inline mqdregs_t mqdec_getregs(const mqdec_t* dec) { return mqdregs_t{dec->areg, dec->ctreg, dec->creg}; }
inline void mqdec_setregs(mqdec_t* dec, mqdregs_t regs)
{
    dec->areg = regs.a;
    dec->creg = regs.c;
    dec->ctreg = regs.ct;
}

// The renormalization shifts that need input: n shifts in all, with the
// bytes read ahead as far as C holds them.  The registers go in and come
// back by value, so that the caller's copy can stay in machine registers.
mqdregs_t mqdec_renorm_slow(mqdec_t* dec, mqdregs_t regs, int n);

// RENORMD with all of its shifts at once: A becomes a (not 0), shifted with
// C until its bit 15 is set; only a byte input leaves the line.
__attribute__((always_inline)) inline void mqdec_renorm(mqdec_t* dec, mqdregs_t& regs, uint32_t a)
{
    const int n = __builtin_clz(a) - 16;
    regs.a = a;
    if (n <= regs.ct) {
        regs.a <<= n;
        regs.c <<= n;
        regs.ct -= n;
    } else {
        regs = mqdec_renorm_slow(dec, regs, n);
    }
}

// Decodes one decision with the context in slot ctx; regs are the decoder's
// registers, held by the caller.  The whole step is in line (T.800 DECODE
// with its exchanges, and RENORMD with all of its shifts at once); only a
// byte input leaves it.
inline int mqdec_decode(mqdec_t* dec, mqdregs_t& regs, mqslot_t* ctx)
{
    const mqslot_t slot = *ctx;
    const uint32_t qeval = slot >> 16;
    // C's top 16 bits compared with Qe: C compared with Qe in their place.
    const uint64_t qhigh = uint64_t{qeval} << 48;
    uint32_t a = regs.a - qeval;
    if (regs.c >= qhigh && (a & 0x8000)) {
        // MPS without renormalization: the common case.
        regs.c -= qhigh;
        regs.a = a;
        return static_cast<int>(slot & 1);
    }
    // The rest without a branch on the decision: the lower subinterval is
    // the LPS one (A - Qe < Qe exchanges them) when C lies in it, and the
    // upper one leaves A - Qe.
    const bool lower = regs.c < qhigh;
    const bool lps = lower != (a < qeval);
    regs.c -= qhigh & (uint64_t{lower} - 1);
    a = lower ? qeval : a;
    *ctx = mqdec_next[2 * (slot & 0xff) + lps];
    const int bit = static_cast<int>(slot & 1) ^ static_cast<int>(lps);
    mqdec_renorm(dec, regs, a);
    return bit;
}

// The same decision without a branch on it: the MPS without
// renormalization goes through the same selections as the other cases (a
// shift of 0, the state kept).  Slower than mqdec_decode() on contexts
// whose MPS path is well predicted, faster on the others.
inline int mqdec_decodeflat(mqdec_t* dec, mqdregs_t& regs, mqslot_t* ctx)
{
    const mqslot_t slot = *ctx;
    const uint32_t qeval = slot >> 16;
    const uint64_t qhigh = uint64_t{qeval} << 48;
    const uint32_t rest = regs.a - qeval;
    const bool lower = regs.c < qhigh;
    const bool lps = lower != (rest < qeval);
    regs.c -= qhigh & (uint64_t{lower} - 1);
    const uint32_t a = lower ? qeval : rest;
    const mqslot_t next = mqdec_next[2 * (slot & 0xff) + lps];
    *ctx = a < 0x8000 ? next : slot;
    mqdec_renorm(dec, regs, a);
    return static_cast<int>(slot & 1) ^ static_cast<int>(lps);
}

// Decodes one decision with the current context.
inline int mqdec_getbit(mqdec_t* dec)
{
    mqdregs_t regs = mqdec_getregs(dec);
    const int bit = mqdec_decode(dec, regs, dec->curctx);
    mqdec_setregs(dec, regs);
    return bit;
}

// Diagnostic dump of the registers and the current context.
void mqdec_dump(const mqdec_t* dec, FILE* out);

#endif
