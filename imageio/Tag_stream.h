// The host-stream adapter: a codec stream (stream_t) whose device is a host
// stream (QIODevice), so that the encoder writes its code stream straight
// into the caller's stream and the decoder reads from it.
//
// Device operations: read and write move exactly the bytes asked for
// (anything less is 0: end of data for a read, an error for a write; no
// host exception ever leaves them); seek passes offset and origin to the
// host and returns the new absolute position or -1; close does nothing,
// the host stream stays open and belongs to the caller.
//
// A read adapter is unbuffered: every byte is one host read, so the host's
// position is exactly what the codec consumed (plus nothing read ahead),
// and the put-back reserve still lets a caller push back up to
// STREAM_MAXPUTBACK bytes.  A write adapter gathers STREAM_BUFSIZE bytes
// per host write; the encoder flushes it before it returns, and closing it
// through stream_close flushes it too.
#ifndef IMAGEIO_TAG_STREAM_H
#define IMAGEIO_TAG_STREAM_H

#include "base/stream.h"

class QIODevice;

// The operation table of the adapter (the device object is the QIODevice).
extern const stream_ops_t TagStreamOps;

// A codec stream over host; openmode is STREAM_READ or STREAM_WRITE (with
// STREAM_BINARY).  nullptr when host is missing or memory runs out.
stream_t* TagStreamCreate(QIODevice* host, int openmode);
// Frees the adapter without flushing it and without the device close;
// nullptr is ignored.
void TagStreamRelease(stream_t* stream);

#endif
