// Picture files of the command-line tool.
//
// The format of an input file is found from its first bytes, whatever its
// name: binary PGM/PPM (P5, P6), PGX, Windows bitmap, JPEG, PNG, and the
// JPEG 2000 code streams that only the decoder reads.  PGM/PPM and PGX are
// read and written here, without Qt; the photo formats (BMP, JPEG, PNG) go
// through the reader and writer that the program registers
// (picfile_setphoto), which use the window's picture loader and picture I/O
// component.
//
// Reading PGX: a NAME.pgx that does not exist is read from NAME_0.pgx,
// NAME_1.pgx, ... as the components of one image (the form picfile_write
// produces).  PGM/PPM: maxval up to 255 gives 8-bit samples, up to 65535
// 16-bit (big-endian in the file); one component, or three as RGB.
//
// Writing, by the output name's extension: .pgx writes one file per
// component, NAME_0.pgx, NAME_1.pgx, ...; .pgm and .ppm write 1 or 3
// unsigned components of equal size and precision up to 16 bits; .bmp and
// .png go to the registered photo writer.
//
// Failures print one line on the standard error stream.
#ifndef TOOLS_PICFILE_H
#define TOOLS_PICFILE_H

#include "base/image.h"

enum picfile_kind {
    PICFILE_NONE,      // cannot be opened
    PICFILE_UNKNOWN,   // no format jp2c knows
    PICFILE_PNM,       // binary PGM or PPM (P5, P6)
    PICFILE_PNMTEXT,   // a PNM variant jp2c does not read (P1-P4, P7)
    PICFILE_PGX,
    PICFILE_BMP,
    PICFILE_JPEG,
    PICFILE_PNG,
    PICFILE_J2K,       // a bare JPEG 2000 code stream (SOC, SIZ)
    PICFILE_JP2,       // a JP2 file (boxes around the code stream)
};

// The kind of file path holds, found from its content.  A .pgx name whose
// file is missing but whose NAME_0.pgx is a PGX file is PICFILE_PGX.
picfile_kind picfile_sniff(const char* path);
// The kind's name for messages: "a PPM picture", "a JPEG 2000 code stream"...
const char* picfile_kindname(picfile_kind kind);

// The reader and writer of the photo formats.  read: a BMP, JPEG or PNG
// file as an 8-bit RGB image, or nullptr after a message.  write: the image
// (1 or 3 components) as a BMP or PNG file; 0, or -1 after a message.
struct picfile_photo_t {
    image_t* (*read)(const char* path, picfile_kind kind);
    int (*write)(image_t* image, const char* path, picfile_kind kind);
};
void picfile_setphoto(const picfile_photo_t* photo);

// The picture in the file, or nullptr.  The caller destroys the image.
image_t* picfile_read(const char* path);

// Writes image to path.  0, or -1.  The image is left unchanged.
int picfile_write(image_t* image, const char* path);

#endif
