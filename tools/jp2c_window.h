// jp2c's window path: the commands that take the road of the window's
// picture I/O component, so that the window's results can be reproduced
// from a shell.
//
//   jp2c encode IN OUT [--quality Q]   IN a bmp, jpg or jpeg picture read by
//       the window's picture loader, saved with TJPEG2000_IO::SaveToFile at
//       quality Q (default 20, the window's start value); prints the bytes
//       written, the size and "Ratio: 1/N" as the window shows them.
//   jp2c decode IN OUT.bmp   decodes with LoadFromFile and writes a 24-bit
//       bitmap.
//   jp2c compare A B   prints both sizes, the PSNR over all channels and
//       per channel, and the peak error of two pictures of equal size
//       (bmp, jpg, jpeg through the loader; j2k, j2c, jpc, jp2 through the
//       component; other formats through Qt's readers).
#ifndef TOOLS_JP2C_WINDOW_H
#define TOOLS_JP2C_WINDOW_H

// True when the window path handles "jp2c COMMAND ARGS...": encode with
// --quality or with a bmp/jpg/jpeg input and no --options; decode to a
// ".bmp" output; compare.
bool jp2c_window_takes(const char* command, int argc, char** argv);

int jp2c_window_encode(int argc, char** argv);
int jp2c_window_decode(int argc, char** argv);
int jp2c_compare(int argc, char** argv);

#endif
