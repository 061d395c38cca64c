// Code stream marker segments (T.800 Annex A).
//
// One marker segment is read from a byte stream into a record (jpc_ms_t),
// written from such a record, dumped as readable text and freed.  The
// encoder builds records and writes them; the decoder reads records and acts
// on them.  Every multi-byte integer of the code stream is big-endian.
//
// A code stream state (jpc_cstate_t), one per code stream being read or
// written, is passed to every read and write: it knows the number of
// components (set by SIZ, decides between 8- and 16-bit component indices)
// and carries packed packet headers that continue from one PPM segment into
// the next.
//
// Readers refuse values that the codec cannot hold (more than 32
// decomposition levels, more than 97 step sizes, precisions above 38 bits,
// code-block sizes beyond T.800 A.6.1, component indices beyond the number
// of components, inconsistent SIZ geometry, more than 65535 tiles, unknown
// progression orders or wavelets ...) with a failure; nothing read from a
// code stream ever reaches a fatal check.  A POC component end beyond the
// last component is read as the number of components.  Writers refuse the
// same values, so that everything written can be read back.
//
// Ownership: a record owns its arrays (SIZ and CRG components, POC changes,
// PPM parts and their bytes, PPT and raw bytes).  They are allocated with
// malloc/calloc and released with free() by jpc_ms_destroy(); code that
// fills a record for writing allocates them the same way.  Precinct sizes
// and step sizes are fixed arrays inside the record.
#ifndef JPEG2000_JPC_H
#define JPEG2000_JPC_H

#include <cstdint>
#include <cstdio>

#include "base/stream.h"

// ---------------------------------------------------------------------------
// Marker codes.

constexpr int JPC_MS_MIN = 0xff00;  // lowest marker code
constexpr int JPC_MS_SOC = 0xff4f;  // start of code stream
constexpr int JPC_MS_SOT = 0xff90;  // start of tile-part
constexpr int JPC_MS_SOD = 0xff93;  // start of data
constexpr int JPC_MS_EOC = 0xffd9;  // end of code stream
constexpr int JPC_MS_SIZ = 0xff51;  // image and tile size
constexpr int JPC_MS_COD = 0xff52;  // coding style default
constexpr int JPC_MS_COC = 0xff53;  // coding style component
constexpr int JPC_MS_TLM = 0xff55;  // tile-part lengths
constexpr int JPC_MS_PLM = 0xff57;  // packet lengths, main header
constexpr int JPC_MS_PLT = 0xff58;  // packet lengths, tile-part header
constexpr int JPC_MS_QCD = 0xff5c;  // quantization default
constexpr int JPC_MS_QCC = 0xff5d;  // quantization component
constexpr int JPC_MS_RGN = 0xff5e;  // region of interest
constexpr int JPC_MS_POC = 0xff5f;  // progression order change
constexpr int JPC_MS_PPM = 0xff60;  // packed packet headers, main header
constexpr int JPC_MS_PPT = 0xff61;  // packed packet headers, tile-part header
constexpr int JPC_MS_CRG = 0xff63;  // component registration
constexpr int JPC_MS_CAP = 0xff50;  // extended capabilities (T.800 Amd., T.814)
constexpr int JPC_MS_CPF = 0xff59;  // corresponding profile
constexpr int JPC_MS_COM = 0xff64;  // comment
constexpr int JPC_MS_SOP = 0xff91;  // start of packet
constexpr int JPC_MS_EPH = 0xff92;  // end of packet header
// Reserved codes without parameters.
constexpr int JPC_MS_INMIN = 0xff30;
constexpr int JPC_MS_INMAX = 0xff3f;

// ---------------------------------------------------------------------------
// Coding style (Scod, Scoc).

constexpr int JPC_COX_PRT = 0x01;  // precinct sizes are given
constexpr int JPC_COD_SOP = 0x02;  // SOP markers may be used
constexpr int JPC_COD_EPH = 0x04;  // EPH markers are used

// Code-block style flags (T.800 Table A.19).
constexpr int JPC_COX_LAZY = 0x01;     // selective arithmetic coding bypass
constexpr int JPC_COX_RESET = 0x02;    // reset context probabilities
constexpr int JPC_COX_TERMALL = 0x04;  // terminate every coding pass
constexpr int JPC_COX_VSC = 0x08;      // vertically causal context
constexpr int JPC_COX_PTERM = 0x10;    // predictable termination
constexpr int JPC_COX_SEGSYM = 0x20;   // segmentation symbols
constexpr int JPC_COX_HT = 0x40;       // HT block coder (T.814)
constexpr int JPC_COX_HTMIXED = 0x80;  // with JPC_COX_HT: HT or T.800 per code block

// Wavelet transform (qmfbid).
constexpr int JPC_COX_INS = 0;  // 9/7 irreversible
constexpr int JPC_COX_RFT = 1;  // 5/3 reversible

// Progression orders.
constexpr int JPC_COD_LRCPPRG = 0;
constexpr int JPC_COD_RLCPPRG = 1;
constexpr int JPC_COD_RPCLPRG = 2;
constexpr int JPC_COD_PCRLPRG = 3;
constexpr int JPC_COD_CPRLPRG = 4;
constexpr int JPC_PRG_LRCP = JPC_COD_LRCPPRG;
constexpr int JPC_PRG_RLCP = JPC_COD_RLCPPRG;
constexpr int JPC_PRG_RPCL = JPC_COD_RPCLPRG;
constexpr int JPC_PRG_PCRL = JPC_COD_PCRLPRG;
constexpr int JPC_PRG_CPRL = JPC_COD_CPRLPRG;

// Quantization styles (low 5 bits of Sqcd, Sqcc).
constexpr int JPC_QCX_NOQNT = 0;  // none
constexpr int JPC_QCX_SIQNT = 1;  // scalar derived
constexpr int JPC_QCX_SEQNT = 2;  // scalar expounded

// Step size fields: exponent in the top 5 bits, mantissa in the low 11.
constexpr int JPC_QCX_GETEXPN(int x) { return (x >> 11) & 0x1f; }
constexpr int JPC_QCX_GETMANT(int x) { return x & 0x7ff; }
constexpr int JPC_QCX_EXPN(int x) { return (x & 0x1f) << 11; }
constexpr int JPC_QCX_MANT(int x) { return x & 0x7ff; }

// ---------------------------------------------------------------------------
// Limits of what the codec holds.

constexpr int JPC_MAXDLVLS = 32;                     // decomposition levels
constexpr int JPC_MAXRLVLS = JPC_MAXDLVLS + 1;       // resolution levels
constexpr int JPC_MAXBANDS = 3 * JPC_MAXDLVLS + 1;   // bands of a component
constexpr int JPC_MAXSTEPSIZES = JPC_MAXBANDS;       // step sizes in QCD/QCC
constexpr int JPC_MAXCOMPS = 16384;                  // components (Csiz)
constexpr int JPC_MAXPREC = 38;                      // sample precision in bits
constexpr int JPC_MAXCBLKVAL = 8;    // cblkwidthval, cblkheightval and their sum
constexpr int JPC_MAXTILES = 65535;  // tiles of an image (Isot is 16 bits)
constexpr int JPC_MAXLYRS = 65535;   // layers

// ---------------------------------------------------------------------------
// Parameter records.

// SOT: start of tile-part.
struct jpc_sot_t {
    uint16_t tileno;    // Isot
    uint32_t len;       // Psot: tile-part length from the SOT marker, 0 = up to EOC
    uint8_t partno;     // TPsot
    uint8_t numparts;   // TNsot, 0 = unknown
};

// SIZ: one component.
struct jpc_sizcomp_t {
    uint8_t prec;    // precision in bits, 1..JPC_MAXPREC
    uint8_t sgnd;    // 0 unsigned, 1 signed
    uint8_t hsamp;   // XRsiz, 1..255
    uint8_t vsamp;   // YRsiz, 1..255
};

// SIZ: image and tile size.
struct jpc_siz_t {
    uint16_t caps;          // Rsiz
    uint32_t width;         // Xsiz
    uint32_t height;        // Ysiz
    uint32_t xoff;          // XOsiz
    uint32_t yoff;          // YOsiz
    uint32_t tilewidth;     // XTsiz
    uint32_t tileheight;    // YTsiz
    uint32_t tilexoff;      // XTOsiz
    uint32_t tileyoff;      // YTOsiz
    uint16_t numcomps;      // Csiz, 1..JPC_MAXCOMPS
    jpc_sizcomp_t* comps;   // numcomps entries (owned)
};

// Precinct size of one resolution level (exponents).
struct jpc_coxrlvl_t {
    uint8_t prcwidth;    // PPx, low nibble on the wire
    uint8_t prcheight;   // PPy, high nibble on the wire
};

// Coding style parameters of a component (COD and COC).
struct jpc_coxcp_t {
    uint8_t csty;           // bit 0 JPC_COX_PRT: precinct sizes are given
    uint8_t numdlvls;       // decomposition levels, 0..JPC_MAXDLVLS
    uint8_t cblkwidthval;   // code-block width exponent - 2
    uint8_t cblkheightval;  // code-block height exponent - 2
    uint8_t cblksty;        // JPC_COX_LAZY ...
    uint8_t qmfbid;         // JPC_COX_INS or JPC_COX_RFT
    int numrlvls;           // entries of rlvls: numdlvls + 1 with precincts, else 0
    jpc_coxrlvl_t rlvls[JPC_MAXRLVLS];
};

// COD: coding style default.
struct jpc_cod_t {
    uint8_t csty;       // Scod: JPC_COX_PRT | JPC_COD_SOP | JPC_COD_EPH
    uint8_t prg;        // progression order, JPC_COD_LRCPPRG ...
    uint16_t numlyrs;   // layers, >= 1
    uint8_t mctrans;    // multiple component transform used
    jpc_coxcp_t compparms;
};

// COC: coding style of one component.
struct jpc_coc_t {
    uint16_t compno;
    jpc_coxcp_t compparms;  // compparms.csty is Scoc
};

// RGN: region of interest.
struct jpc_rgn_t {
    uint16_t compno;
    uint8_t roisty;     // Srgn
    uint8_t roishift;   // SPrgn
};

// Quantization parameters (QCD and QCC).
struct jpc_qcxcp_t {
    uint8_t qntsty;      // JPC_QCX_NOQNT, JPC_QCX_SIQNT, JPC_QCX_SEQNT
    uint8_t numguard;    // guard bits (top 3 bits of Sqcx)
    int numstepsizes;    // 0..JPC_MAXSTEPSIZES
    uint16_t stepsizes[JPC_MAXSTEPSIZES];  // JPC_QCX_EXPN(e) | JPC_QCX_MANT(m)
};

// QCD: quantization default.
struct jpc_qcd_t {
    jpc_qcxcp_t compparms;
};

// QCC: quantization of one component.
struct jpc_qcc_t {
    uint16_t compno;
    jpc_qcxcp_t compparms;
};

// POC: one progression change.  Start values inclusive, end values exclusive.
struct jpc_pocpchg_t {
    uint8_t rlvlnostart;   // RSpoc (dump: rs)
    uint16_t compnostart;  // CSpoc (dump: cs)
    uint16_t lyrnoend;     // LYEpoc (dump: le)
    uint8_t rlvlnoend;     // REpoc (dump: re)
    uint16_t compnoend;    // CEpoc (dump: ce), at most the number of components
    uint8_t prgord;        // Ppoc (dump: po)
};

// POC: progression order changes.
struct jpc_poc_t {
    int numpchgs;
    jpc_pocpchg_t* pchgs;  // numpchgs entries (owned)
};

// PPM: one part, the bytes of (a piece of) one tile-part's packed headers.
struct jpc_ppmpart_t {
    uint32_t len;
    uint8_t* data;   // len bytes (owned), nullptr when len is 0
};

// PPM: packed packet headers, main header.
struct jpc_ppm_t {
    uint8_t ind;          // Zppm
    int firstcont;        // 1: parts[0] continues a header begun in an earlier PPM
    int lastcont;         // 1: the last part continues in a later PPM
    uint32_t lastfulllen; // full Nppm of the last header when lastcont
    int numparts;
    jpc_ppmpart_t* parts; // numparts entries (owned)
};

// PPT: packed packet headers, tile-part header.
struct jpc_ppt_t {
    uint8_t ind;     // Zppt
    uint32_t len;    // bytes of data
    uint8_t* data;   // owned
};

// SOP: start of packet.
struct jpc_sop_t {
    uint16_t seqno;  // Nsop
};

// CRG: registration offset of one component.
struct jpc_crgcomp_t {
    uint16_t hoff;
    uint16_t voff;
};

// CRG: component registration.
struct jpc_crg_t {
    int numcomps;
    jpc_crgcomp_t* comps;  // numcomps entries (owned)
};

// CAP: extended capabilities.  Bit 31 - (i - 1) of Pcap announces Part i of
// the JPEG 2000 family (JPC_CAP_PART15 for HT code blocks); each bit set is
// followed by its 16-bit Ccap, in the order of the bits from the top.
constexpr uint32_t JPC_CAP_PART15 = uint32_t{1} << 17;
struct jpc_cap_t {
    uint32_t pcap;
    int numccaps;         // bits set in pcap
    uint16_t ccaps[32];
};

// Raw parameter bytes (TLM, PLM, COM, unknown types).
struct jpc_unk_t {
    uint32_t len;
    uint8_t* data;   // owned, nullptr when len is 0
};

// ---------------------------------------------------------------------------
// Marker segment record.

struct jpc_msops_t;  // operations of a marker type (private to the module)

struct jpc_ms_t {
    uint16_t type;              // marker code, JPC_MS_SOC ...
    uint16_t len;               // parameter bytes (length field - 2); 0 without parameters
    const jpc_msops_t* ops;     // operations of the type, bound by jpc_ms_create
    union {
        jpc_sot_t sot;
        jpc_siz_t siz;
        jpc_cod_t cod;
        jpc_coc_t coc;
        jpc_rgn_t rgn;
        jpc_qcd_t qcd;
        jpc_qcc_t qcc;
        jpc_poc_t poc;
        jpc_ppm_t ppm;
        jpc_ppt_t ppt;
        jpc_sop_t sop;
        jpc_crg_t crg;
        jpc_cap_t cap;
        jpc_unk_t unk;
    } parms;
};

// Code stream state.
struct jpc_cstate_t {
    int numcomps;          // from the last SIZ read or written; 0 before
    int ppmnextind;        // Zppm expected while a header is pending (may be 256: none fits)
    uint32_t ppmmissing;   // bytes missing from the last PPM's last header, 0 = none
};

// ---------------------------------------------------------------------------
// Code stream state.

// A new state with all fields zero, or nullptr when memory runs out.
jpc_cstate_t* jpc_cstate_create();
void jpc_cstate_destroy(jpc_cstate_t* cstate);

// ---------------------------------------------------------------------------
// Marker segments.

// A new record of the given type with len 0 and all parameters zero, or
// nullptr when memory runs out.
jpc_ms_t* jpc_ms_create(int type);
// Frees the record and the arrays it owns.  nullptr is ignored.
void jpc_ms_destroy(jpc_ms_t* ms);
inline int jpc_ms_gettype(const jpc_ms_t* ms) { return ms->type; }
// Name of a marker code as the dumps print it ("SOC", ..., "UNKNOWN").
const char* jpc_ms_name(int type);
// 1 when the marker code is followed by a length field and parameters.
int jpc_ms_hasparms(int type);
// 1 when the marker code has a row of its own in the marker type table
// (0 for the codes named "UNKNOWN").
int jpc_ms_isknown(int type);

// Reads one marker segment.  The record, or nullptr when the marker cannot
// be read or its parameters are malformed (nothing is printed then).  A
// segment whose parameter reader leaves bytes unread is accepted with the
// warning "warning: trailing garbage in marker segment (N bytes)".  A null
// cstate reads as a code stream state before SIZ (and keeps nothing).
jpc_ms_t* jpc_getms(stream_t* in, jpc_cstate_t* cstate);
// Writes one marker segment and sets ms->len.  0, or -1.
int jpc_putms(stream_t* out, jpc_cstate_t* cstate, jpc_ms_t* ms);
// Dumps the record as text to out (see jpc_dump.cpp for the lines that go
// to the diagnostic output).  0.
int jpc_ms_dump(const jpc_ms_t* ms, FILE* out);

// ---------------------------------------------------------------------------
// Big-endian integers on a stream.  Reads return 0, or -1 when the stream
// has no more bytes or is in error (val may be nullptr to skip); writes
// return 0, or -1 when a byte cannot be written.

int jpc_getuint8(stream_t* in, uint8_t* val);
int jpc_getuint16(stream_t* in, uint16_t* val);
int jpc_getuint32(stream_t* in, uint32_t* val);
int jpc_putuint8(stream_t* out, uint32_t val);
int jpc_putuint16(stream_t* out, uint32_t val);
int jpc_putuint32(stream_t* out, uint32_t val);

// ---------------------------------------------------------------------------
// Miscellaneous.

// Code stream signature test: 0 when the next two bytes are 0xff 0x4f (SOC),
// -1 otherwise.  The stream is left where it was.
int jpc_validate(stream_t* in);
// Copies n bytes from in to out.  0, or -1 (also when in ends first).
int jpc_getdata(stream_t* in, stream_t* out, int64_t n);
int jpc_putdata(stream_t* out, stream_t* in, int64_t n);
// Sets the codec-wide debug level; returns the previous one.  Above 0 every
// marker segment read or written is dumped to the diagnostic output.
int jpc_setdbglevel(int dbglevel);

#endif
