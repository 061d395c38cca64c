// Tables and rules shared by the tier-1 encoder (t1enc) and decoder (t1dec):
// MQ context numbering and initial states, the neighbourhood flags of a
// sample, the context lookup tables of T.800 Annex D, the distortion tables
// used by rate allocation, the coding pass and codeword segment rules, and
// the nominal subband gains.
//
// The tables are plain data indexed by flag bits; they are built once at
// start-up and again (with the same result) by jpc_inittables().
#ifndef JPEG2000_JPCOD_H
#define JPEG2000_JPCOD_H

#include <cstdint>

#include "tier1/mqdec.h"

// ---- samples ---------------------------------------------------------------

// Fractional bits of the encoder's quantized samples: bit plane p (p >= 0)
// of a sample is bit p + JPC_NUMEXTRABITS of its magnitude.
constexpr int JPC_NUMEXTRABITS = 6;

// ---- codeword segments -------------------------------------------------------

constexpr int SEG_MQ = 1;   // arithmetic coded
constexpr int SEG_RAW = 2;  // raw (bypass) bits
constexpr int SEG_HTCLN = 3;  // HT cleanup pass, after any placeholder passes
constexpr int SEG_HTREF = 4;  // HT SigProp and MagRef passes

// ---- MQ contexts -------------------------------------------------------------

constexpr int JPC_NUMCTXS = 19;
constexpr int JPC_AGGCTXNO = 0;    // run-length (aggregation)
constexpr int JPC_ZCCTXNO = 1;     // zero coding, Table D.1 labels 0..8 -> 1..9
constexpr int JPC_NUMZCCTXS = 9;
constexpr int JPC_MAGCTXNO = 10;   // refinement, Table D.4 labels 14..16 -> 10..12
constexpr int JPC_NUMMAGCTXS = 3;
constexpr int JPC_SCCTXNO = 13;    // sign coding, Table D.3 labels 9..13 -> 13..17
constexpr int JPC_NUMSCCTXS = 5;
constexpr int JPC_UCTXNO = 18;     // uniform

// Initial MQ state of every context (Table D.7): MPS and probability index.
extern const mqctx_t jpc_ctxinits[JPC_NUMCTXS];

// ---- flag word of a sample ---------------------------------------------------
// The neighbourhood of a sample as the context tables below index it.  The
// coders keep their state in stripe column words (t1col.h), whose
// zero-coding and sign indices are built from these tables; the
// refinement context (Table D.4) is t1c_magctxno there.

constexpr uint32_t JPC_NESIG = 0x0001;  // north-east neighbour significant
constexpr uint32_t JPC_SESIG = 0x0002;  // south-east
constexpr uint32_t JPC_SWSIG = 0x0004;  // south-west
constexpr uint32_t JPC_NWSIG = 0x0008;  // north-west
constexpr uint32_t JPC_NSIG = 0x0010;   // north
constexpr uint32_t JPC_ESIG = 0x0020;   // east
constexpr uint32_t JPC_SSIG = 0x0040;   // south
constexpr uint32_t JPC_WSIG = 0x0080;   // west
constexpr uint32_t JPC_NSGN = 0x0100;   // north neighbour negative
constexpr uint32_t JPC_ESGN = 0x0200;
constexpr uint32_t JPC_SSGN = 0x0400;
constexpr uint32_t JPC_WSGN = 0x0800;

constexpr uint32_t JPC_OTHSIGMSK = 0x00ff;  // any neighbour significant

// ---- context lookup tables ---------------------------------------------------

// Zero-coding context (1..9) by band orientation (0 LL, 1 LH, 2 HL, 3 HH)
// and the low 8 flag bits (Table D.1).
extern uint8_t jpc_zcctxnos[4][256];
// Sign prediction (XOR) bit and sign context (13..17) by flag bits 4..11,
// that is (flags >> 4) & 0xff (Tables D.2, D.3).
extern uint8_t jpc_spb[256];
extern uint8_t jpc_scctxnos[256];

inline int jpc_getzcctxno(uint32_t f, int orient) { return jpc_zcctxnos[orient][f & 0xff]; }
inline int jpc_getspb(uint32_t f) { return jpc_spb[(f >> 4) & 0xff]; }
inline int jpc_getscctxno(uint32_t f) { return jpc_scctxnos[(f >> 4) & 0xff]; }

// ---- distortion tables ---------------------------------------------------------
// Decrease of the normalized squared error (fixed14) when a sample of
// magnitude m becomes significant or is refined at bit plane p: entry
// (m >> p) & 127 (m with JPC_NUMEXTRABITS fractional bits).  The "0" tables
// serve plane 0, after which a sample is exact.

constexpr int JPC_NMSEDEC_BITS = 7;
constexpr int JPC_NMSEDEC_SIZE = 1 << JPC_NMSEDEC_BITS;
extern int32_t jpc_signmsedec[JPC_NMSEDEC_SIZE];
extern int32_t jpc_signmsedec0[JPC_NMSEDEC_SIZE];
extern int32_t jpc_refnmsedec[JPC_NMSEDEC_SIZE];
extern int32_t jpc_refnmsedec0[JPC_NMSEDEC_SIZE];

inline int32_t jpc_getsignmsedec(int32_t mag, int bitpos)
{
    return bitpos > 0 ? jpc_signmsedec[(mag >> bitpos) & (JPC_NMSEDEC_SIZE - 1)]
                      : jpc_signmsedec0[mag & (JPC_NMSEDEC_SIZE - 1)];
}
inline int32_t jpc_getrefnmsedec(int32_t mag, int bitpos)
{
    return bitpos > 0 ? jpc_refnmsedec[(mag >> bitpos) & (JPC_NMSEDEC_SIZE - 1)]
                      : jpc_refnmsedec0[mag & (JPC_NMSEDEC_SIZE - 1)];
}

// Builds every table above.  Called at each encoder and decoder entry; the
// result is the same every time.
void jpc_inittables();

// ---- coding passes and segments ----------------------------------------------
// Pass numbers here count from the code block's first coded pass (0 is the
// cleanup pass of its most significant bit plane).

constexpr int JPC_SIGPASS = 0;  // significance propagation
constexpr int JPC_REFPASS = 1;  // magnitude refinement
constexpr int JPC_CLNPASS = 2;  // cleanup

// Passes of a codeword segment without the termall and lazy switches: more
// than a code block can have (3 x 31 - 2), so the block is one segment.
constexpr int JPC_MAXPASSES = 94;

// JPC_SIGPASS, JPC_REFPASS or JPC_CLNPASS.
inline int jpc_passtype(int passno) { return (passno + 2) % 3; }

// Segment kind of pass passno: SEG_RAW for significance and refinement passes
// from pass 10 on under the bypass (lazy) switch, else SEG_MQ.
int jpc_segtype(int passno, int lazy);

// Number of passes of the codeword segment that starts at pass passno, for a
// code block of numpasses passes (any large count when unknown).
int jpc_segpasscnt(int passno, int numpasses, int lazy, int termall);

// 1 when pass passno ends a codeword segment.
int jpc_isterminated(int passno, int numpasses, int lazy, int termall);

// ---- subband gains ---------------------------------------------------------------

// log2 of the nominal gain of a band of orientation orient at resolution
// level lvlno (of numlvls decomposition levels): for the reversible 5/3
// (qmfbid 1) 0 for LL, 1 for HL and LH, 2 for HH; for the 9/7 (qmfbid 0),
// whose high-pass analysis output is scaled by K/2, 0 for every band.
int jpc_noms_gain(int qmfbid, int numlvls, int lvlno, int orient);

#endif
