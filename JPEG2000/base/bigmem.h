// Zeroed memory for large buffers (picture components, matrices).
#ifndef JPEG2000_BIGMEM_H
#define JPEG2000_BIGMEM_H

#include <cstddef>

// Zeroed memory for bytes bytes, or nullptr.  A block of 4 MiB or more is
// mapped on its own where the system allows it, on huge-page bounds and with
// the hint to fault it in as huge pages: a few dozen faults for a 4K frame's
// component instead of thousands, which otherwise take a tenth of a coding.
// *mapped tells bigmem_free how the block was obtained.
void* bigmem_alloc(size_t bytes, bool* mapped);
// The first bytes bytes of a block from bigmem_alloc will not be read
// again: the whole huge pages among them of a mapped block go back to the
// system (they read as zeros after), others stay as they are.
void bigmem_discard(void* p, size_t bytes, bool mapped);
// Frees a block from bigmem_alloc of that size; nullptr is ignored.
void bigmem_free(void* p, size_t bytes, bool mapped);

#endif
