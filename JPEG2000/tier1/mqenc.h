// MQ arithmetic encoder (T.800 Annex C.2).
//
// The arithmetic is that of T.800 C.2.  Output is held back by one byte (B)
// so that carries can reach it, and runs of alternating 0xFF, 0x7F bytes are
// held back as well: when such a run is still pending at the end of a
// codeword it is replaced by a single 0xFF.  Every terminated codeword ends
// with the marker 0xFF 0xAC (the collapsed run supplying the 0xFF when there
// is one), from which the decoder reads 1 bits.
//
// The probability state table, the context slots (Qe, the entry and its
// MPS in one word, successors from mqdec_next) and mqregs_t come from
// module mqdec.  As for the decoder there are two ways of coding:
//  - mqenc_setcurctx() + mqenc_putbit(): registers in the encoder object;
//  - mqenc_getregs() + mqenc_encode() + mqenc_setregs(): registers in a local
//    mqregs_t across many decisions, the context slot named directly.
// A byte stream that refuses a byte sets the error flag; coding goes on and
// mqenc_putbit(), mqenc_flush() and mqenc_error() report it.
#ifndef JPEG2000_MQENC_H
#define JPEG2000_MQENC_H

#include <cstdint>
#include <cstdio>

#include "tier1/mqdec.h"
#include "base/stream.h"

struct mqenc_t {
    uint32_t creg;
    uint32_t areg;
    int32_t ctreg;
    int maxctxs;               // number of contexts
    mqslot_t* ctxs;            // the contexts (owned)
    mqslot_t* curctx;          // the current context
    stream_t* out;             // output (not owned)
    int16_t outbuf;            // B, the byte held back; -1 before the first
    int runlen;                // bytes of a pending 0xFF, 0x7F, 0xFF, ... run
    int finalbyte;             // set during a flush
    int lastbyte;              // the byte written last; -1 for none
    int err;                   // a byte could not be written
};

// Coder state recorded after each coding pass (pass length estimation).
// The bytes of the codeword so far end at the stream position plus the held
// byte B plus runlen bytes of a pending 0xFF, 0x7F, ... run: an estimate of
// where a pass can be cut must count the run, since the decoder needs the
// bytes after it.
struct mqencstate_t {
    uint32_t areg;
    uint32_t creg;
    int32_t ctreg;
    int lastbyte;              // -1 for none
    int runlen;                // held-back run bytes not yet written
    int outbuf;                // B, the held byte; -1 before the first
};

// New encoder with maxctxs (> 0) contexts, all at entry 0 (index 0, MPS 0),
// and its registers initialised.  nullptr when memory runs out.
mqenc_t* mqenc_create(int maxctxs, stream_t* out);
void mqenc_destroy(mqenc_t* enc);
// Starts a new codeword: A = 0x8000, C = 0, CT = 12, no byte held, no
// pending run, no last byte, error flag clear.  The contexts keep their
// states.
void mqenc_init(mqenc_t* enc);
// The first min(numctxs, maxctxs) contexts take the states of ctxs; the
// others take entry 0.
void mqenc_setctxs(mqenc_t* enc, int numctxs, const mqctx_t* ctxs);

// The slot of context ctxno.
inline mqslot_t* mqenc_ctx(mqenc_t* enc, int ctxno) { return &enc->ctxs[ctxno]; }
inline void mqenc_setcurctx(mqenc_t* enc, int ctxno) { enc->curctx = &enc->ctxs[ctxno]; }

inline mqregs_t mqenc_getregs(const mqenc_t* enc) { return mqregs_t{enc->areg, enc->creg, enc->ctreg}; }
inline void mqenc_setregs(mqenc_t* enc, mqregs_t regs)
{
    enc->areg = regs.a;
    enc->creg = regs.c;
    enc->ctreg = regs.ct;
}

// The shifts of C in a renormalization that reaches CT = 0: n shifts in
// all (n >= CT), with a byte output each time CT runs out.  C and CT go in
// as values and come back in one word, C in bits 0..31 and CT above: in
// machine registers, where a structure would pass through memory in
// halves and be read back whole before those writes are done.
uint64_t mqenc_renorm_slow(mqenc_t* enc, uint32_t c, int32_t ct, int n);

// Encodes the decision bit (0 or 1) with the context in slot ctx; regs are
// the encoder's registers, held by the caller.  T.800 CODEMPS and CODELPS
// without a branch on the decision: both add Qe to C and keep A - Qe
// exactly when "MPS" and "A - Qe < Qe" differ (the conditional exchange),
// and take A = Qe otherwise; the selections are masks, as a branch on them
// is seldom predicted.  An MPS that leaves bit 15 of A set keeps its
// entry; every other decision moves to the next entry and renormalises
// (RENORME with all of its shifts at once).  Only a byte output leaves the
// line.
inline void mqenc_encode(mqenc_t* enc, mqregs_t& regs, mqslot_t* ctx, int bit)
{
    const mqslot_t slot = *ctx;
    const uint32_t qeval = slot >> 16;
    const uint32_t a = regs.a - qeval;
    const uint32_t lps = (slot ^ static_cast<uint32_t>(bit)) & 1;
    const uint32_t keep = (lps ^ (a < qeval)) ^ 1;
    const uint32_t mask = 0u - keep;
    regs.c += qeval & mask;
    const uint32_t na = qeval ^ ((a ^ qeval) & mask);
    // An LPS always leaves A below 0x8000 (Qe is below it).
    const mqslot_t next = mqdec_next[2 * (slot & 0xff) + lps];
    *ctx = (na & 0x8000) ? slot : next;
    // A is not 0: shift until bit 15 is set (no shift when it is).
    const int n = __builtin_clz(na) - 16;
    regs.a = na;
    if (n < regs.ct) {
        regs.a <<= n;
        regs.c <<= n;
        regs.ct -= n;
    } else {
        regs.a <<= n;
        const uint64_t cct = mqenc_renorm_slow(enc, regs.c, regs.ct, n);
        regs.c = static_cast<uint32_t>(cct);
        regs.ct = static_cast<int32_t>(cct >> 32);
    }
}

// 1 when a byte could not be written since the last mqenc_init().
inline int mqenc_error(const mqenc_t* enc) { return enc->err; }

// Encodes the decision bit with the current context.  0, or -1 when the
// error flag is set.
inline int mqenc_putbit(mqenc_t* enc, int bit)
{
    mqregs_t regs = mqenc_getregs(enc);
    mqenc_encode(enc, regs, enc->curctx, bit);
    mqenc_setregs(enc, regs);
    return enc->err ? -1 : 0;
}

// Terminates the codeword (T.800 FLUSH with held-back runs, then 0xFF 0xAC).  The
// registers are not re-initialised: call mqenc_init() before the next
// codeword.  0, or -1 when the error flag is set.
int mqenc_flush(mqenc_t* enc);

// A, C, CT, the last byte written, the length of the pending run and B.
void mqenc_getstate(const mqenc_t* enc, mqencstate_t* state);

// The fewest bytes of a codeword that decode every decision coded before
// state was taken (written bytes had been written then), found from the
// codeword's final bytes code[0 .. size): the decoder reads 1 bits past
// the end, so a prefix serves when it, followed by 1 bits, still lies in
// the coder's interval at that point.  Where the bytes cannot tell (no
// byte held yet, a run collapsed at the end), the bound written + pending
// run + 4 bytes (+1 after 0xFF, +1 when CT < 5).  At most size.
int64_t mqenc_trunclen(const mqencstate_t* state, int64_t written, const unsigned char* code,
                       int64_t size);

// Diagnostic dump of the registers and the current context.
void mqenc_dump(const mqenc_t* enc, FILE* out);

#endif
