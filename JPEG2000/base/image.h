// The codec's picture model.
//
// An image is a set of components; each component is a rectangle of integer
// samples with its own size, precision and signedness, stored byte-packed in
// a stream: (precision + 7) / 8 bytes per sample, most significant byte
// first, rows from the top, the sample at (x, y) at byte
// (y * width_ + x) * bytes per sample.  The samples of an image live in
// memory streams, or in temporary files when they total IMAGE_MAXINMEM bytes
// or more.
//
// The image grid is the least common multiple of the component sizes; a
// component's subsampling is the grid size divided by its size.
//
// Callers fill and empty components byte by byte through the sample stream
// (image_cmpt_stream); the encoder reads rectangles into matrices
// (image_readcmpt) and the decoder writes them back (image_writecmpt).
#ifndef JPEG2000_IMAGE_H
#define JPEG2000_IMAGE_H

#include <cstdint>

struct stream_t;
struct matrix_t;

// Colour models.
constexpr int IMAGE_CM_UNKNOWN = 0;
constexpr int IMAGE_CM_GRAY = 1;
constexpr int IMAGE_CM_RGB = 2;

// Sample bytes of an image at or above which samples go to temporary files.
constexpr int64_t IMAGE_MAXINMEM = int64_t(64) << 20;

// Largest sample precision (samples are handled as 32-bit integers).
constexpr int IMAGE_MAXPREC = 32;

// Largest number of components of an image (the code stream syntax allows
// 16384).
constexpr int IMAGE_MAXCMPTS = 16384;

struct image_cmpt_t {
    int32_t hsubsamp_;  // image width_ / component width_
    int32_t vsubsamp_;  // image height_ / component height_
    int32_t width_;     // in samples
    int32_t height_;
    int32_t prec_;      // bits per sample, 1..IMAGE_MAXPREC
    int32_t sgnd_;      // non-zero for signed samples
    stream_t* stream_;  // owned sample storage; nullptr once released
    int32_t cps_;       // bytes per sample: (prec_ + 7) / 8
};

struct image_t {
    int32_t width_;     // least common multiple of the component widths
    int32_t height_;    // least common multiple of the component heights
    int32_t numcmpts_;
    image_cmpt_t** cmpts_;  // numcmpts_ components
    int32_t colormodel_;    // IMAGE_CM_*
    int32_t intmpfiles_;    // 1 when the samples live in temporary files
};

// Parameters of one component for image_create.
struct image_cmptparm_t {
    int32_t width;
    int32_t height;
    int32_t prec;
    int32_t sgnd;
};

// New image of numcmpts components (1..IMAGE_MAXCMPTS), every sample 0.
// nullptr for bad parameters (sizes or precision out of range, a grid that
// does not fit in 32 bits) or when memory or a stream cannot be had.
// filledwhole: the samples will all be written soon (a picture read from
// a file, or decoded), so large components held in memory go on huge
// pages (see stream_memopenbig).
image_t* image_create(int numcmpts, const image_cmptparm_t* parms, int colormodel,
                      bool filledwhole = false);
// Closes every sample stream still present and frees the image (a partly
// built one too); nullptr is allowed.
void image_destroy(image_t* image);

inline int image_numcmpnts(const image_t* image) { return image->numcmpts_; }
inline int32_t image_width(const image_t* image) { return image->width_; }
inline int32_t image_height(const image_t* image) { return image->height_; }
inline int image_colormodel(const image_t* image) { return image->colormodel_; }
inline void image_setcolormodel(image_t* image, int cm) { image->colormodel_ = cm; }

// Component attributes (i must be a valid index).
inline image_cmpt_t* image_cmpt(const image_t* image, int i) { return image->cmpts_[i]; }
inline int32_t image_cmpt_width(const image_t* image, int i) { return image->cmpts_[i]->width_; }
inline int32_t image_cmpt_height(const image_t* image, int i) { return image->cmpts_[i]->height_; }
inline int32_t image_cmpt_prec(const image_t* image, int i) { return image->cmpts_[i]->prec_; }
inline int32_t image_cmpt_sgnd(const image_t* image, int i) { return image->cmpts_[i]->sgnd_; }
inline int32_t image_cmpt_hsubsamp(const image_t* image, int i) { return image->cmpts_[i]->hsubsamp_; }
inline int32_t image_cmpt_vsubsamp(const image_t* image, int i) { return image->cmpts_[i]->vsubsamp_; }
inline int32_t image_cmpt_cps(const image_t* image, int i) { return image->cmpts_[i]->cps_; }
// The component's sample stream (nullptr once released).  Its position is
// wherever the last transfer left it: seek before use.
inline stream_t* image_cmpt_stream(const image_t* image, int i) { return image->cmpts_[i]->stream_; }
// Closes and forgets the component's sample stream (the encoder frees the
// samples of a component once it has read them).  Later transfers on the
// component fail with -1.
void image_cmpt_releasestream(image_t* image, int i);
// Rows 0 .. y - 1 of component i will not be read again (the encoder as it
// sweeps down the samples): memory they hold may go back to the system,
// and they read as zeros after.
void image_cmpt_discardrows(image_t* image, int i, int32_t y);
// Component coordinate of image coordinate x (or y): x / hsubsamp_.
inline int32_t image_cmpt_x(const image_t* image, int i, int32_t x) { return x / image->cmpts_[i]->hsubsamp_; }
inline int32_t image_cmpt_y(const image_t* image, int i, int32_t y) { return y / image->cmpts_[i]->vsubsamp_; }
// Total sample bytes of the image (sum over components, 64-bit).
int64_t image_samplebytes(const image_t* image);
// 1 when the samples are kept in temporary files, 0 in memory.
inline int image_intmpfiles(const image_t* image) { return image->intmpfiles_; }

// Reads the rectangle (x, y, width, height) of component i, in component
// coordinates, into matrix, resizing it when its shape differs.  Samples
// are assembled most significant byte first as non-negative integers (no
// sign extension).  0, or -1 for a bad index, a rectangle outside the
// component, a failed resize or a stream failure.
int image_readcmpt(image_t* image, int i, int32_t x, int32_t y, int32_t width,
                   int32_t height, matrix_t* matrix);
// Writes matrix (exactly height rows and width columns) to the rectangle;
// each element's low bytes-per-sample bytes, most significant first.  0,
// or -1 as above (a matrix of another shape is -1, no resize).
int image_writecmpt(image_t* image, int i, int32_t x, int32_t y, int32_t width,
                    int32_t height, const matrix_t* matrix);

// The sample bytes of component i (layout as above) when they are held in
// memory, after any pending writes through the stream; nullptr when they
// live in a temporary file or the component has been released.  Rows at
// distinct places may be filled from several threads at once.
unsigned char* image_cmpt_memory(image_t* image, int i);
// Packs n samples into their low cps bytes, most significant first, as
// image_writecmpt does.
void image_packrow(const int32_t* src, unsigned char* dst, int32_t n, int cps);
// Unpacks n samples of cps bytes each (no sign extension), as
// image_readcmpt does.
void image_unpackrow(const unsigned char* src, int32_t* dst, int32_t n, int cps);

// ---- format registry ------------------------------------------------------

constexpr int IMAGE_MAXFMTS = 16;

struct image_fmtops_t {
    // Decodes an image from in; nullptr on failure.
    image_t* (*decode_)(stream_t* in, const char* opts);
    // Encodes image to out; 0, or -1.
    int (*encode_)(image_t* image, stream_t* out, const char* opts);
    // 0 when in holds data of this format.
    int (*validate_)(stream_t* in);
};

struct image_fmtinfo_t {
    int id_;
    char* name_;
    char* ext_;
    image_fmtops_t ops_;
};

// Registers a format (id >= 0, name, ext and ops given; name and ext are
// copied).  0, or -1 for bad arguments, a full table or a failed copy.
int image_addfmt(int id, const char* name, const char* ext, const image_fmtops_t* ops);
// Removes every registered format.
void image_clearfmts();
const image_fmtinfo_t* image_lookupfmtbyid(int id);
// Exact, case-sensitive name.
const image_fmtinfo_t* image_lookupfmtbyname(const char* name);
// Format whose extension equals the text after the last '.' of filename.
const image_fmtinfo_t* image_lookupfmtbyext(const char* filename);
// Identifier of the first format whose validate operation accepts in, or
// -1.
int image_getfmt(stream_t* in);
// Decodes in with format fmt, or with the format found by content when fmt
// is -1.  nullptr on failure.
image_t* image_decode(stream_t* in, int fmt, const char* opts);
// Encodes image to out with format fmt.  0, or -1.
int image_encode(image_t* image, stream_t* out, int fmt, const char* opts);

#endif
