// The JP2 file format (T.800 Annex I) as far as a reader of the picture
// needs it: the box structure walked from the signature box down to the
// first contiguous code stream box.
#ifndef JPEG2000_JP2BOX_H
#define JPEG2000_JP2BOX_H

#include <cstddef>
#include <cstdint>

struct stream_t;

// True when the bytes begin with the JP2 signature box (12 bytes needed).
bool jp2_has_signature(const unsigned char* data, size_t size);

// Reads boxes from the stream's position, which must be the start of a JP2
// file, up to the contiguous code stream box ('jp2c').  Returns 0 with the
// stream at the first byte of the code stream and *length its size in
// bytes (-1 when the box runs to the end of the file); -1 after a message
// when the signature is missing, a box length is impossible or there is no
// code stream box.
int jp2_find_codestream(stream_t* in, int64_t* length);

#endif
