// TJPEG2000_IO: the picture I/O component for bare JPEG 2000 code streams.
//
// Save: the working bitmap (24 bits per pixel) becomes a three-component
// 8-bit RGB codec image, coded by the project's encoder with an option
// string formed from MaxBitPerPixel and the picture size, into a host
// stream or a file.  Load: a code stream from a host stream or a file is
// decoded into the bitmap; only three-component pictures are accepted.
//
// OnProgress reports of one save: 0 (cancellable), 5 once per row of each
// component, 10 (cancellable), the encoder's own reports, 95, 100.  Of one
// load: 0 (cancellable), the decoder's own reports, 90 once per component
// (cancellable), 100 (cancellable).  A cancel (CancelOperation, taking
// effect at the next cancellable report or the codec's next report) makes
// the operation return 0.
// Failures raise Exception with the messages given below each operation.
#ifndef IMAGEIO_JPEG2000_IO_H
#define IMAGEIO_JPEG2000_IO_H

#include "Image_io.h"
#include "Jpeg2000_params.h"
#include "encoder/jpenc.h"

#include <QIODevice>

#include <exception>
#include <functional>
#include <string>

class TJPEG2000_IO;
struct image_t;

// The progress sink handed to the codec: forwards every report to the
// component's DoProgressNoCancel, so reports from inside the codec reach
// OnProgress without raising; the codec asks cancelled() after each and
// stops once the component's stop flag is set, the operation then ending
// as a cancel.  An exception raised by the handler is not let through the
// codec: it is kept (later reports are dropped, the codec stops) and raised
// by RethrowPending() once the codec has returned.
class J2000EncoderProgressMessager : public OnProgressMessager {
public:
    explicit J2000EncoderProgressMessager(TJPEG2000_IO* owner) : FOwner(owner) {}
    void report(int32_t percent) override;
    bool cancelled() override;
    void RethrowPending();

private:
    TJPEG2000_IO* FOwner;
    std::exception_ptr FPending;
};

class TJPEG2000_IO : public TImage_IO {
    Q_OBJECT

public:
    explicit TJPEG2000_IO(QObject* Owner = nullptr);

    // Writes the code stream of B to S at S's position.  Returns the bytes
    // written (the growth of S's position), or 0 after a cancel.  B is
    // converted to Format_BGR888 in place.  Raises "Bitmap is not existing",
    // "Bitmap Width = 0, I can't compress it", "Bitmap Height = 0, I can't
    // compress it", "Invalid Output Stream", "Can't Create Stream , Internal
    // error by Kestreline", "Internal Error , Can,t Create Such Image, Kill
    // the Developers", "Internal Error , Can,t Export Image,\n Developers
    // from Velmora ".  After a failure or cancel the bytes already written
    // stay in S.
    virtual qint64 SaveToStreamFrom(QImage* B, QIODevice* S);
    // Writes the code stream of B into a new temporary file in FileName's
    // folder and puts it in place of FileName only when the save has
    // completed.  Returns the file's size, or 0 after a cancel.  After a
    // cancel or a failure the temporary file is gone and an earlier file of
    // that name is untouched.  Raises EFCreateError when the file cannot be
    // written, else as SaveToStreamFrom.
    qint64 SaveToFileFrom(QImage* B, const QString& FileName) override;

    // Decodes the code stream at S's position into B (resized to the
    // picture, Format_BGR888).  Returns the bytes consumed from S, or 0
    // after a cancel.  Raises "Bitmap is not existing", "Invalid Input
    // Stream", "Internal BUG , try to find Kestreline", "Stream format is not
    // a jpeg2000 code stream (part1)\n compartible format by KORVAN (C)",
    // "Error Of Stream decoding , internal of Velmora", "Color Model is not
    // supporting " (other than one grey or three RGB components; a grey
    // picture fills all three channels).  Components of other precisions or signedness are scaled
    // to 8 bits unsigned; subsampled components are spread over the pixels
    // they cover.
    virtual qint64 LoadFromStreamInTo(QImage* B, QIODevice* S);
    // Loads the file; returns its size (also after a cancel).  Raises "File
    // Dos not exist : NAME", EFOpenError, else as LoadFromStreamInTo.
    qint64 LoadFromFileInTo(QImage* B, const QString& FileName) override;

    // The encoder option string for a width x height picture at the
    // current MaxBitPerPixel.
    std::string EncoderOptions(int width, int height) const;
    // Code blocks with the high-throughput coder (option "ht"); off at start.
    void SetHighThroughput(bool on) { FHighThroughput = on; }
    bool HighThroughput() const { return FHighThroughput; }
    // Saves at the fewest bytes found whose decoding reaches this PSNR in
    // dB instead of at the quality's budget; 0 (at start) is off.
    void SetTargetPsnr(double db) { FTargetPsnr = db; }
    double TargetPsnr() const { return FTargetPsnr; }
    // The PSNR the last save at a target reached (infinity when lossless).
    double ReachedPsnr() const { return FReachedPsnr; }

    // Forwards to DoProgressNoCancel; nothing calls it.
    void CProgressNoCancel(int32_t PercentDone) { DoProgressNoCancel(PercentDone); }

private:
    bool FAborted = false;  // the last SaveToStreamFrom ended by a cancel
    bool FHighThroughput = false;
    double FTargetPsnr = 0, FReachedPsnr = 0;
};

// Copies component i of image into channel 0 (red), 1 (green) or 2 (blue)
// of B (Format_BGR888, the picture's size) as the load path does: 8-bit
// unsigned samples as they are, other precisions and signed samples mapped
// to 0..255, a subsampled component's sample spread over every pixel it
// covers; a sample that cannot be read gives 255.  Reads the component's
// samples from the current position of its stream, which callers put at the
// start (8-bit samples held in memory are read from there).  everyRows, when set, is
// called before every 64th row of the component (progress reports; it may raise).
void J2000CopyComponent(image_t* image, int i, int channel, QImage* B,
                        const std::function<void(int32_t cy)>& everyRows = {});

// The picture of a code stream or JP2 file, decoded as the component loads
// it (a grey picture fills all three channels); raises as LoadFromFileInTo.
QImage J2000LoadPicture(const QString& FileName);

#endif
