// One-dimensional two-channel filter banks of T.800 Annex F, by lifting.
//
// Two kinds: the reversible 5/3 (integer lifting) and the irreversible 9/7
// (single-precision floating-point lifting: its samples are floats held in
// the matrix's 32-bit cells, see realent_t).  A line of samples with
// absolute coordinates start .. end - 1 is split in place: samples at even
// coordinates are low-pass, at odd coordinates high-pass; after analysis the
// low-pass coefficients fill the first positions of the line and the
// high-pass coefficients the rest.  Synthesis undoes this exactly (5/3 in
// reversible mode) or up to rounding (9/7).
//
// Analysis and synthesis work on a whole matrix region at once: every row
// (horizontal) or every column (QMFB_VERT) of the matrix is one line; the
// matrix's xstart_ (rows) or ystart_ (columns) gives the absolute
// coordinate of the line's first sample, whose parity decides which samples
// are low-pass.
#ifndef JPEG2000_QMFB_H
#define JPEG2000_QMFB_H

#include <cstdint>

#include "base/seq.h"

// Kinds of filter bank.
constexpr int QMFB_53 = 1;  // reversible 5/3 (qmfbid 1)
constexpr int QMFB_97 = 2;  // irreversible 9/7 (qmfbid 0)

// Flags of analysis and synthesis.
constexpr int QMFB_REV = 0x0001;   // reversible integer arithmetic (5/3 only)
constexpr int QMFB_VERT = 0x10000; // lines are columns, not rows

// Most channels a one-dimensional filter bank has.
constexpr int QMFB1D_MAXCHANS = 2;

struct qmfb1d_t {
    int kind_;  // QMFB_53 or QMFB_97
};

// One channel's part of a line.  locstart/locend: positions in the line
// after analysis (0-based, end exclusive); start/end: coordinates of the
// coefficients in the channel's own grid.
struct qmfb1dband_t {
    int32_t locstart;
    int32_t locend;
    int32_t start;
    int32_t end;
};

// Creation; nullptr for an unknown kind or exhausted memory.
qmfb1d_t* qmfb1d_make(int kind);
qmfb1d_t* qmfb1d_copy(const qmfb1d_t* qmfb);
void qmfb1d_destroy(qmfb1d_t* qmfb);

// Number of channels: 2.
int qmfb1d_getnumchans(const qmfb1d_t* qmfb);

// Analysis filters are not provided: always -1.
int qmfb1d_getanalfilters(const qmfb1d_t* qmfb, int len, seq_t** filters);

// Synthesis impulse responses (fixed14), filters[0] low-pass and
// filters[1] high-pass, as new sequences owned by the caller.  len must be
// at least 2.  Returns 0, or -1 (nothing allocated) on failure.
int qmfb1d_getsynfilters(const qmfb1d_t* qmfb, int len, seq_t** filters);

// Split of the line start .. end - 1 into its channels: bands[0] low-pass,
// bands[1] high-pass.  Returns the number of bands (2).
int qmfb1d_getbands(const qmfb1d_t* qmfb, int64_t start, int64_t end,
                    qmfb1dband_t bands[QMFB1D_MAXCHANS]);

// The synthesis of a whole region, rows then columns, in one sweep down
// that gives the output rows in order: for a caller that takes each row on
// at once (the decoder's last stage).  The region is only read, each input
// row once; the state is a few rows (seven for the 5/3, eleven for the
// 9/7).  The samples are those of the row and then the column synthesis in
// place: integers for the 5/3, floats in the 32-bit cells for the 9/7.
// numrows >= 2; xstart and ystart are the coordinates of the region's
// first sample.  A stream for a band of rows from firstrow on reads only
// the input rows those need; the rows it gives before firstrow are not the
// output's.  nullptr for another kind or when memory fails.
// With a row source src, the input rows come from src->get instead of the
// region (data is then not read): get(arg, row, &lo, &hi) gives input row
// row (0 .. numrows - 1) as its low-pass samples (the first ones of the
// row, those at even coordinates) and its high-pass samples, valid until
// the stream's next call.  A stream asks for the low-pass rows (the first
// of the region) in order and the high-pass rows in order, each once.
struct qmfb_rowsrc_t {
    void (*get)(void* arg, int32_t row, const int32_t** lo, const int32_t** hi);
    void* arg;
};
struct qmfb_stream_t;
qmfb_stream_t* qmfb_stream_create(int kind, const int32_t* data, int32_t numrows,
                                  int32_t numcols, ptrdiff_t rowstep, int64_t xstart,
                                  int64_t ystart, int32_t firstrow = 0,
                                  const qmfb_rowsrc_t* src = nullptr);
void qmfb_stream_destroy(qmfb_stream_t* s);
// One step: the output rows it completes (0 to 3), next in order, into
// rows (valid until the next step), the first of them row *first; -1 after
// the last.
int qmfb_stream_step(qmfb_stream_t* s, const int32_t* rows[3], int32_t* first);

// The 9/7 analysis of the columns of a region of numrows >= 2 rows of
// numcols samples (ystart: the coordinate of its first row) whose input
// rows come one by one, in order, from the caller (who may make them as
// they are needed), into the rows of out (rowstep outstep apart): the
// samples of qmfb1d_analyze_region on the columns, written row by row, the
// low-pass rows first in the region as there.  The work goes in
// qmfb97_colstream_steps() steps; a stream from firststep on writes the
// rows of the steps from firststep on (any split of the steps into runs
// gives the same rows), reading a few input rows before them.  The state
// is eight rows.  nullptr when memory fails.
struct qmfb97_colstream_t;
int32_t qmfb97_colstream_steps(int32_t numrows, int64_t ystart);
qmfb97_colstream_t* qmfb97_colstream_create(int32_t numrows, int32_t numcols, int64_t ystart,
                                            int32_t* out, ptrdiff_t outstep,
                                            int32_t firststep = 0);
void qmfb97_colstream_destroy(qmfb97_colstream_t* s);
// The input row that the next step needs next, with in *dst the place
// (numcols floats) where the caller puts its samples before it asks again
// or steps; -1 when the step needs no more.
int32_t qmfb97_colstream_next(qmfb97_colstream_t* s, float** dst);
// The next step, once qmfb97_colstream_next gives -1: done(arg, row) after
// each row of out that it writes, the row's samples final there.
void qmfb97_colstream_step(qmfb97_colstream_t* s, void (*done)(void* arg, int32_t row), void* arg);
// The number of the next step (a stream begins a few steps before
// firststep).
int32_t qmfb97_colstream_at(const qmfb97_colstream_t* s);

// Forward (analysis) and inverse (synthesis) transform of every line of x
// in place.  flags: QMFB_REV, QMFB_VERT.  Always 0 (a 9/7 asked for
// reversible arithmetic is a fatal check).
int qmfb1d_analyze(const qmfb1d_t* qmfb, int flags, matrix_t* x);
int qmfb1d_synthesize(const qmfb1d_t* qmfb, int flags, matrix_t* x);

// The same on a raw region: numrows lines (horizontal) of numcols samples
// starting at data with rows rowstep elements apart; start is the absolute
// coordinate of the first sample of a line (of the first row for QMFB_VERT).
// For the 9/7 the cells hold floats.  Large regions are split into pieces
// of whole lines over the thread pool.
// The analysis on rows may hand each row over as soon as it is done, while
// it is still in the cache: hook->done(hook->arg, row) with the row's index
// in the region, on any thread of the pool, once per row (also for rows
// that a one-sample line leaves as they are).  Columns take no hook.
struct qmfb_rowhook_t {
    void (*done)(void* arg, int32_t row);
    void* arg;
};
void qmfb1d_analyze_region(int kind, int flags, int32_t* data, int32_t numrows,
                           int32_t numcols, ptrdiff_t rowstep, int64_t start,
                           const qmfb_rowhook_t* hook = nullptr);
void qmfb1d_synthesize_region(int kind, int flags, int32_t* data, int32_t numrows,
                              int32_t numcols, ptrdiff_t rowstep, int64_t start);

#endif
