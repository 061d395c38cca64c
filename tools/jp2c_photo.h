// The Qt part of jp2c: the photo formats (BMP, JPEG and PNG) through the
// window's picture loader, Qt's image reader and writer and the picture
// I/O component; and the compare command.  It is the module jp2c_photo.so
// beside jp2c, loaded only by the commands that need it: the codec
// commands on PGM/PPM and PGX pictures start and run without Qt's
// libraries (about 10 MiB of memory and 10 ms less for each).
#ifndef TOOLS_JP2C_PHOTO_H
#define TOOLS_JP2C_PHOTO_H

#include "picfile.h"

// The photo reader and writer for picfile_setphoto.  Reading: BMP and JPEG
// pictures through the window's picture loader (the pixels the window
// codes), PNG through Qt's reader; each becomes an 8-bit RGB image.
// Writing: 1 or 3 components as the window's load path turns them into a
// bitmap (other precisions scaled to 8 bits, subsampled components spread),
// to a 24-bit bitmap or an 8-bit RGB PNG.
const picfile_photo_t* jp2c_photo();

//   jp2c compare A B   prints both sizes, the PSNR over all channels and
//       per channel, and the peak error of two pictures of equal size
//       (any picture jp2c reads, as 8-bit RGB; JPEG 2000 code streams
//       through the window's load path).
int jp2c_compare(int argc, char** argv);

// The module's one entry point: sets the module's coding threads (its
// codec is its own copy) and returns the two above.
struct jp2c_photomodule_t {
    const picfile_photo_t* photo;
    int (*compare)(int argc, char** argv);
};
#define JP2C_PHOTO_MODULE "jp2c_photo.so"
#define JP2C_PHOTO_ENTRY "jp2c_photo_module"
extern "C" const jp2c_photomodule_t* jp2c_photo_module(int numthreads);

#endif
