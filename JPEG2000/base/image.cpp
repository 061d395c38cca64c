#include "base/image.h"

#include "base/fatal.h"
#include "base/mathx.h"
#include "base/seq.h"
#include "base/simd.h"
#include "base/stream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void cmpt_destroy(image_cmpt_t* cmpt)
{
    if (!cmpt)
        return;
    if (cmpt->stream_)
        stream_close(cmpt->stream_);
    std::free(cmpt);
}

// A component of the given size with every sample 0, its samples in a
// memory stream or a temporary file.  nullptr on failure.
image_cmpt_t* cmpt_create(const image_cmptparm_t& p, bool inmem, bool big)
{
    auto* cmpt = static_cast<image_cmpt_t*>(std::calloc(1, sizeof(image_cmpt_t)));
    if (!cmpt)
        return nullptr;
    cmpt->width_ = p.width;
    cmpt->height_ = p.height;
    cmpt->prec_ = p.prec;
    cmpt->sgnd_ = p.sgnd != 0;
    cmpt->cps_ = (p.prec + 7) / 8;
    cmpt->hsubsamp_ = 1;
    cmpt->vsubsamp_ = 1;
    const int64_t size = int64_t(p.width) * p.height * cmpt->cps_;
    cmpt->stream_ = !inmem ? stream_tmpfile() : big ? stream_memopenbig(size) : stream_memopen(nullptr, size);
    // Give the stream its full length, every byte zero.
    if (!cmpt->stream_ || stream_seek(cmpt->stream_, size - 1, SEEK_SET) < 0 ||
        stream_putc(cmpt->stream_, 0) < 0 || stream_seek(cmpt->stream_, 0, SEEK_SET) < 0) {
        cmpt_destroy(cmpt);
        return nullptr;
    }
    return cmpt;
}

// Checks the arguments of a rectangle transfer; the component, or nullptr.
image_cmpt_t* rect_cmpt(const image_t* image, int i, int32_t x, int32_t y, int32_t width,
                        int32_t height)
{
    if (!image || i < 0 || i >= image->numcmpts_)
        return nullptr;
    image_cmpt_t* cmpt = image->cmpts_[i];
    if (!cmpt->stream_ || x < 0 || y < 0 || x >= cmpt->width_ || y >= cmpt->height_ ||
        width < 0 || height < 0 || int64_t(x) + width > cmpt->width_ ||
        int64_t(y) + height > cmpt->height_)
        return nullptr;
    return cmpt;
}

// Sample bytes (most significant first) to integers, no sign extension.
void unpack_row(const unsigned char* src, seqent_t* dst, int32_t n, int cps)
{
    switch (cps) {
    case 1:
        for (int32_t j = 0; j < n; ++j)
            dst[j] = src[j];
        break;
    case 2:
        for (int32_t j = 0; j < n; ++j, src += 2)
            dst[j] = (seqent_t(src[0]) << 8) | src[1];
        break;
    default:
        for (int32_t j = 0; j < n; ++j) {
            uint32_t v = 0;
            for (int k = 0; k < cps; ++k)
                v = (v << 8) | *src++;
            dst[j] = static_cast<seqent_t>(v);
        }
        break;
    }
}

// The low bytes of n integers (the rows of the picture and of the matrix
// never overlap).
HOT_CLONES void pack_bytes(const int32_t* __restrict src, unsigned char* __restrict dst, int32_t n)
{
    for (int32_t j = 0; j < n; ++j)
        dst[j] = static_cast<unsigned char>(src[j]);
}

// Integers to their low cps bytes, most significant first.
void pack_row(const seqent_t* src, unsigned char* dst, int32_t n, int cps)
{
    switch (cps) {
    case 1:
        pack_bytes(src, dst, n);
        break;
    case 2:
        for (int32_t j = 0; j < n; ++j, dst += 2) {
            dst[0] = static_cast<unsigned char>(src[j] >> 8);
            dst[1] = static_cast<unsigned char>(src[j]);
        }
        break;
    default:
        for (int32_t j = 0; j < n; ++j) {
            const uint32_t v = static_cast<uint32_t>(src[j]);
            for (int k = cps - 1; k >= 0; --k)
                *dst++ = static_cast<unsigned char>(v >> (8 * k));
        }
        break;
    }
}

// For a memory stream: empties the stream's buffer (writing out pending
// data) and returns the memory holding the samples, so that rows can be
// moved without going byte by byte through the stream.  nullptr for other
// devices or when the memory is shorter than the component.
unsigned char* cmpt_memory(image_cmpt_t* cmpt)
{
    stream_t* s = cmpt->stream_;
    if (!stream_ismem(s) || stream_seek(s, 0, SEEK_SET) < 0)
        return nullptr;
    const int64_t size = int64_t(cmpt->width_) * cmpt->height_ * cmpt->cps_;
    if (stream_memlength(s) < size)
        return nullptr;
    return stream_memdata(s);
}

}  // namespace

image_t* image_create(int numcmpts, const image_cmptparm_t* parms, int colormodel, bool filledwhole)
{
    if (numcmpts <= 0 || numcmpts > IMAGE_MAXCMPTS || !parms)
        return nullptr;
    // Total of the sample bytes, in 64 bits, and the parameter checks.
    int64_t total = 0;
    for (int i = 0; i < numcmpts; ++i) {
        const image_cmptparm_t& p = parms[i];
        if (p.width <= 0 || p.height <= 0 || p.prec <= 0 || p.prec > IMAGE_MAXPREC)
            return nullptr;
        const int64_t size = int64_t(p.width) * p.height * ((p.prec + 7) / 8);
        if (__builtin_add_overflow(total, size, &total))
            return nullptr;
    }
    // Grid: the least common multiple of the component sizes.
    int64_t width = parms[0].width, height = parms[0].height;
    for (int i = 1; i < numcmpts; ++i) {
        width = mathx_lcm(width, parms[i].width);
        height = mathx_lcm(height, parms[i].height);
        if (width < 0 || width > INT32_MAX || height < 0 || height > INT32_MAX)
            return nullptr;
    }

    auto* image = static_cast<image_t*>(std::calloc(1, sizeof(image_t)));
    if (!image)
        return nullptr;
    image->colormodel_ = colormodel;
    image->intmpfiles_ = total >= IMAGE_MAXINMEM;
    image->cmpts_ = static_cast<image_cmpt_t**>(std::calloc(numcmpts, sizeof(image_cmpt_t*)));
    if (!image->cmpts_) {
        image_destroy(image);
        return nullptr;
    }
    for (int i = 0; i < numcmpts; ++i) {
        image_cmpt_t* cmpt = cmpt_create(parms[i], !image->intmpfiles_, filledwhole);
        if (!cmpt) {
            image_destroy(image);
            return nullptr;
        }
        image->cmpts_[i] = cmpt;
        image->numcmpts_ = i + 1;
    }
    image->width_ = static_cast<int32_t>(width);
    image->height_ = static_cast<int32_t>(height);
    for (int i = 0; i < numcmpts; ++i) {
        image->cmpts_[i]->hsubsamp_ = image->width_ / image->cmpts_[i]->width_;
        image->cmpts_[i]->vsubsamp_ = image->height_ / image->cmpts_[i]->height_;
    }
    return image;
}

void image_destroy(image_t* image)
{
    if (!image)
        return;
    if (image->cmpts_)
        for (int i = 0; i < image->numcmpts_; ++i)
            cmpt_destroy(image->cmpts_[i]);
    std::free(image->cmpts_);
    std::free(image);
}

void image_cmpt_releasestream(image_t* image, int i)
{
    if (!image || i < 0 || i >= image->numcmpts_ || !image->cmpts_[i]->stream_)
        return;
    stream_close(image->cmpts_[i]->stream_);
    image->cmpts_[i]->stream_ = nullptr;
}

void image_cmpt_discardrows(image_t* image, int i, int32_t y)
{
    if (!image || i < 0 || i >= image->numcmpts_ || !image->cmpts_[i]->stream_ || y <= 0)
        return;
    const image_cmpt_t* c = image->cmpts_[i];
    stream_memdiscard(c->stream_, int64_t(std::min(y, c->height_)) * c->width_ * c->cps_);
}

int64_t image_samplebytes(const image_t* image)
{
    int64_t total = 0;
    for (int i = 0; i < image->numcmpts_; ++i) {
        const image_cmpt_t* c = image->cmpts_[i];
        total += int64_t(c->width_) * c->height_ * c->cps_;
    }
    return total;
}

int image_readcmpt(image_t* image, int i, int32_t x, int32_t y, int32_t width, int32_t height,
                   matrix_t* matrix)
{
    image_cmpt_t* cmpt = rect_cmpt(image, i, x, y, width, height);
    if (!cmpt || !matrix)
        return -1;
    if ((matrix_numrows(matrix) != height || matrix_numcols(matrix) != width) &&
        matrix_resize(matrix, height, width) != 0)
        return -1;
    const int cps = cmpt->cps_;
    const int64_t rowbytes = int64_t(width) * cps;
    if (const unsigned char* mem = cmpt_memory(cmpt)) {
        for (int32_t r = 0; r < height; ++r) {
            const int64_t off = (int64_t(y + r) * cmpt->width_ + x) * cps;
            unpack_row(mem + off, matrix_row(matrix, r), width, cps);
        }
        return 0;
    }
    std::vector<unsigned char> buf(static_cast<size_t>(rowbytes));
    for (int32_t r = 0; r < height; ++r) {
        const int64_t off = (int64_t(y + r) * cmpt->width_ + x) * cps;
        if (stream_seek(cmpt->stream_, off, SEEK_SET) < 0 ||
            stream_read(cmpt->stream_, buf.data(), rowbytes) != rowbytes)
            return -1;
        unpack_row(buf.data(), matrix_row(matrix, r), width, cps);
    }
    return 0;
}

int image_writecmpt(image_t* image, int i, int32_t x, int32_t y, int32_t width, int32_t height,
                    const matrix_t* matrix)
{
    image_cmpt_t* cmpt = rect_cmpt(image, i, x, y, width, height);
    if (!cmpt || !matrix || matrix_numrows(matrix) != height || matrix_numcols(matrix) != width)
        return -1;
    const int cps = cmpt->cps_;
    const int64_t rowbytes = int64_t(width) * cps;
    if (unsigned char* mem = cmpt_memory(cmpt)) {
        for (int32_t r = 0; r < height; ++r) {
            const int64_t off = (int64_t(y + r) * cmpt->width_ + x) * cps;
            pack_row(matrix_row(matrix, r), mem + off, width, cps);
        }
        return 0;
    }
    std::vector<unsigned char> buf(static_cast<size_t>(rowbytes));
    for (int32_t r = 0; r < height; ++r) {
        const int64_t off = (int64_t(y + r) * cmpt->width_ + x) * cps;
        pack_row(matrix_row(matrix, r), buf.data(), width, cps);
        if (stream_seek(cmpt->stream_, off, SEEK_SET) < 0 ||
            stream_write(cmpt->stream_, buf.data(), rowbytes) != rowbytes)
            return -1;
    }
    return 0;
}

unsigned char* image_cmpt_memory(image_t* image, int i)
{
    if (!image || i < 0 || i >= image->numcmpts_ || !image->cmpts_[i]->stream_)
        return nullptr;
    return cmpt_memory(image->cmpts_[i]);
}

void image_packrow(const int32_t* src, unsigned char* dst, int32_t n, int cps)
{
    pack_row(src, dst, n, cps);
}

void image_unpackrow(const unsigned char* src, int32_t* dst, int32_t n, int cps)
{
    unpack_row(src, dst, n, cps);
}

// ---- format registry --------------------------------------------------------

namespace {

image_fmtinfo_t fmt_table[IMAGE_MAXFMTS];
int fmt_count = 0;

char* copy_text(const char* s)
{
    const size_t n = std::strlen(s) + 1;
    auto* c = static_cast<char*>(std::malloc(n));
    if (c)
        std::memcpy(c, s, n);
    return c;
}

}  // namespace

int image_addfmt(int id, const char* name, const char* ext, const image_fmtops_t* ops)
{
    if (!(id >= 0 && name && ext && ops) || fmt_count >= IMAGE_MAXFMTS)
        return -1;
    image_fmtinfo_t& f = fmt_table[fmt_count];
    f.name_ = copy_text(name);
    f.ext_ = copy_text(ext);
    if (!f.name_ || !f.ext_) {
        std::free(f.name_);
        std::free(f.ext_);
        f = image_fmtinfo_t{};
        return -1;
    }
    f.id_ = id;
    f.ops_ = *ops;
    ++fmt_count;
    return 0;
}

void image_clearfmts()
{
    for (int i = 0; i < fmt_count; ++i) {
        std::free(fmt_table[i].name_);
        std::free(fmt_table[i].ext_);
        fmt_table[i] = image_fmtinfo_t{};
    }
    fmt_count = 0;
}

const image_fmtinfo_t* image_lookupfmtbyid(int id)
{
    for (int i = 0; i < fmt_count; ++i)
        if (fmt_table[i].id_ == id)
            return &fmt_table[i];
    return nullptr;
}

const image_fmtinfo_t* image_lookupfmtbyname(const char* name)
{
    if (!name)
        return nullptr;
    for (int i = 0; i < fmt_count; ++i)
        if (std::strcmp(fmt_table[i].name_, name) == 0)
            return &fmt_table[i];
    return nullptr;
}

const image_fmtinfo_t* image_lookupfmtbyext(const char* filename)
{
    if (!filename)
        return nullptr;
    const char* dot = std::strrchr(filename, '.');
    if (!dot)
        return nullptr;
    for (int i = 0; i < fmt_count; ++i)
        if (std::strcmp(fmt_table[i].ext_, dot + 1) == 0)
            return &fmt_table[i];
    return nullptr;
}

int image_getfmt(stream_t* in)
{
    for (int i = 0; i < fmt_count; ++i)
        if (fmt_table[i].ops_.validate_ && fmt_table[i].ops_.validate_(in) == 0)
            return fmt_table[i].id_;
    return -1;
}

image_t* image_decode(stream_t* in, int fmt, const char* opts)
{
    if (fmt < 0 && (fmt = image_getfmt(in)) < 0)
        return nullptr;
    const image_fmtinfo_t* f = image_lookupfmtbyid(fmt);
    if (!f || !f->ops_.decode_)
        return nullptr;
    return f->ops_.decode_(in, opts);
}

int image_encode(image_t* image, stream_t* out, int fmt, const char* opts)
{
    const image_fmtinfo_t* f = image_lookupfmtbyid(fmt);
    if (!f || !f->ops_.encode_)
        return -1;
    return f->ops_.encode_(image, out, opts);
}
