// The JPEG 2000 encoder: one image in, one bare code stream (T.800 Annex A
// syntax) out, the whole picture coded as a single tile.
//
// Options (white-space separated, name or name=value):
//   debug=N          debug level of the marker segment layer
//   cblkwidth=N      nominal code block width (power of two, 1..4096)
//   cblkheight=N     nominal code block height (power of two, 1..4096,
//                    width x height <= 4096)
//   mode=int|real    reversible 5/3 + RCT, or irreversible 9/7 + ICT with
//                    quantization (needs a rate)
//   maxrlvls=N       resolution levels (decomposition levels + 1)
//   rate=R           target code stream size as a fraction of the raw size
//   lyrrates=R,R,..  cumulative rates of the layers below the top layer
//   prg=lrcp|rlcp    progression order
//   nomct            no multi-component transform
//   lazy termall vertcausal segsym resetprob   code block coding switches
#ifndef JPEG2000_JPENC_H
#define JPEG2000_JPENC_H

#include <cstdint>

struct image_t;
struct stream_t;

// The progress sink of a coding run: one operation that takes a percentage.
class OnProgressMessager {
public:
    virtual ~OnProgressMessager() = default;
    virtual void report(int32_t percent) = 0;
    // Asked after every report: true stops the coding run at that point; it
    // releases what it holds and fails (-1, or no picture).  Never by
    // default.
    virtual bool cancelled() { return false; }
};

// Encodes image into out with the options of optstr (nullptr or "" for the
// defaults), reporting progress to progress (may be nullptr).  The image's
// component sample storage is consumed: an image can be encoded once.  The
// output stream is flushed, not closed.  Returns 0, or -1 after a message on
// the standard error stream (also when progress cancelled the run).
int32_t jpenc_encode(image_t* image, stream_t* out, const char* optstr,
                     OnProgressMessager* progress);

#endif
