// The JPEG 2000 decoder: a bare code stream (T.800 Annex A syntax) in, a
// codec image out.
//
// Options (white-space separated, name=value):
//   maxlyrs=N   kept; every layer is always decoded
//   debug=N     debug level of the marker segment layer (dumps on stderr)
//   maxsamples=N  largest image accepted, in samples of all components
//               together (default JPDEC_MAXSAMPLES); a code stream that
//               declares more is refused with a message before anything
//               is allocated for it.
#ifndef JPEG2000_JPDEC_H
#define JPEG2000_JPDEC_H

#include "encoder/jpenc.h"  // OnProgressMessager

#include <cstdint>

struct image_t;
struct stream_t;

// Default limit on the declared image size, in samples: 2^30 (4 GiB of
// coefficients while a single-tile image is reconstructed).
constexpr int64_t JPDEC_MAXSAMPLES = int64_t(1) << 30;

// Decodes the code stream read from in.  Returns the image (the caller
// destroys it), or nullptr when decoding stopped before the image size was
// known.  After a failure in the middle of the code stream the image is
// returned as far as it was decoded; the failure has been reported on the
// standard error stream.  progress may be nullptr.
image_t* jpdec_decode(stream_t* in, const char* optstr, OnProgressMessager* progress);

// Outcomes of jpdec_decode_status.
constexpr int JPDEC_COMPLETE = 0;    // the whole code stream was decoded
constexpr int JPDEC_INCOMPLETE = 1;  // it ended early (cut short, tiles or
                                     // tile-parts missing): the image holds
                                     // at least one tile, as far as it arrived
constexpr int JPDEC_FAILED = -1;     // nothing decodable, or decoding stopped
                                     // at a failure (the image, if any, is
                                     // partial)

// The same; *status becomes one of the outcomes above.  An incomplete
// decode is reported with a warning on the standard error stream.
image_t* jpdec_decode_status(stream_t* in, const char* optstr, OnProgressMessager* progress,
                             int* status);

#endif
