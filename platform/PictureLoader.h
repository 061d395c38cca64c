// The picture loader of the window: reads a picture file into a working
// bitmap (QImage, Format_BGR888).
//
// The decoder is chosen by the file name's extension, ignoring case:
// "jpg" and "jpeg" through libjpeg (baseline, progressive, arithmetic;
// grey, RGB, CMYK and YCCK pictures, with the EXIF orientation applied as
// image viewers do), "bmp" through Qt's bitmap reader (1, 4, 8, 16, 24 and
// 32 bits per pixel, RLE), "png", "tif" and "tiff" through Qt's readers
// (TIFF needs Qt's image-format plugins), "j2k", "j2c", "jpc" and "jp2"
// through the decoder set with SetCodeStreamDecoder (refused while none
// is set).  Every other extension ("jpe" too) is refused.
//
// Failures raise Exception: "Unknown picture file extension (.EXT)",
// EFOpenError for a file that cannot be opened, "JPEG error: DETAIL" for a
// damaged or unsupported JPEG file, "Picture of W x H pixels is too large"
// for a JPEG file of more than 2^30 samples (its header is not trusted with
// the bitmap's size), "Bitmap image is not valid" for a damaged bitmap file
// (and one beyond the bitmap reader's allocation limit).
#ifndef PLATFORM_PICTURELOADER_H
#define PLATFORM_PICTURELOADER_H

#include <QImage>
#include <QString>

// The JPEG 2000 decoder for code streams and JP2 files: the codec sits
// above this layer, so its owner hands it in.  It raises Exception on
// failure and returns a Format_BGR888 picture.
using CodeStreamDecoder = QImage (*)(const QString& fileName);
void SetCodeStreamDecoder(CodeStreamDecoder decoder);

// True when the loader has a decoder for the file name's extension.
bool PictureExtensionSupported(const QString& fileName);

// The picture in the file as a 24-bit bitmap; raises on failure.
QImage LoadPicture(const QString& fileName);

// The picture in a JPEG file or a bitmap file whatever the file's name (for
// callers that have looked at its content); raise as LoadPicture.
QImage LoadJpegPicture(const QString& fileName);
QImage LoadBitmapPicture(const QString& fileName);

#endif
