// Estimates of what each bit plane of a code block brings before it is
// coded: the exact decrease of the weighted squared error that the plane's
// passes give together, and a model of the bytes they take.  The encoder
// uses them to find, early, the passes that the rate allocation cannot
// take, and leaves those uncoded.
#ifndef JPEG2000_T1EST_H
#define JPEG2000_T1EST_H

#include <cstdint>

#include "encoder/jpenc_tree.h"

// One bit plane's figures.
struct t1est_plane_t {
    double dist;   // weighted distortion decrease, as the coder reports it
    double bytes;  // modelled length of the plane's passes in bytes
};

// Fills planes[0 .. numbps - 1] for the code block (index = bit plane,
// numbps = t1enc_numbps of its samples) and returns the weighted error that
// stays after every plane is coded (the fractions of the samples, which
// only irreversible coding has).  The weight is the one tier-1 applies to
// its passes (t1enc_weight).  The figures come from every rowstep-th row
// of the block (0: every fourth row of a block of 16 rows or more, every
// other of a block of 8 or more).
double t1est_planes(const jpenc_cblk_t* cblk, int numbps, double weight, t1est_plane_t* planes,
                    int rowstep = 0);

// The same for HT code blocks, whose bytes are those of a cleanup pass at
// each plane (bytes of plane p: the candidate at p less the one at p + 1),
// from every pairstep-th pair of rows.
double t1est_htplanes(const jpenc_cblk_t* cblk, int numbps, double weight,
                      t1est_plane_t* planes, int pairstep);

// What the rate allocation is to reach: a byte budget, or a weighted
// squared error (the sum of the residuals and of the distortions of the
// planes left out); the one not wanted is negative.
struct t1est_goal_t {
    double bytes;
    double dist;
};

// The early choice over all code blocks of a tile.  planes holds each
// block's figures one block after another, numbps[i] of them for block i;
// residual the sum of the blocks' residuals.  Each block's planes form a
// convex rate-distortion hull; the slope at which the hulls reach the goal
// (their modelled bytes the budget, or the distortion left the target) is
// the estimated threshold of the rate allocation, and every block keeps the
// planes whose hull slope reaches that threshold divided by margin.  Writes
// keep[i], the planes of block i to code (from the top).
void t1est_choose(const t1est_plane_t* planes, const int* numbps, int64_t numcblks,
                  double residual, t1est_goal_t goal, double margin, int* keep);

// The same for several margins at once: keeps[m] for margins[m].
void t1est_choose(const t1est_plane_t* planes, const int* numbps, int64_t numcblks,
                  double residual, t1est_goal_t goal, const double* margins, int nmargins,
                  int* const* keeps);

#endif
