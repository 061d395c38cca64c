// Picture files of the command-line tool: PGM/PPM (P5, P6) and PGX.
//
// Reading: a .pgx name reads that one component file; when it does not
// exist, NAME_0.pgx, NAME_1.pgx, ... are read as the components of one image
// (the form picfile_write produces).  Any other name is read as PGM/PPM:
// maxval up to 255 gives 8-bit samples, up to 65535 16-bit (big-endian in
// the file); one component, or three as an RGB image.
//
// Writing, by the output name's extension: .pgx writes one file per
// component, NAME_0.pgx, NAME_1.pgx, ...; .pgm and .ppm write 1 or 3
// unsigned components of equal size and precision up to 16 bits.
//
// Failures print one line on the standard error stream.
#ifndef TOOLS_PICFILE_H
#define TOOLS_PICFILE_H

#include "base/image.h"

// The picture in the file, or nullptr.  The caller destroys the image.
image_t* picfile_read(const char* path);

// Writes image to path.  0, or -1.  The image is left unchanged.
int picfile_write(image_t* image, const char* path);

#endif
