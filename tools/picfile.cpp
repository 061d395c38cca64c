#include "picfile.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/simd.h"
#include "base/stream.h"
#include "base/threadpool.h"

namespace {

// The samples of n RGB pixels at p into the planes r, g and b.
HOT_CLONES void deinterleave3(const uint8_t* __restrict p, uint8_t* __restrict r,
                              uint8_t* __restrict g, uint8_t* __restrict b, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        r[i] = p[3 * i];
        g[i] = p[3 * i + 1];
        b[i] = p[3 * i + 2];
    }
}

struct FileCloser {
    void operator()(FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};
using file_ptr = std::unique_ptr<FILE, FileCloser>;

struct ImageDeleter {
    void operator()(image_t* im) const { image_destroy(im); }
};
using image_ptr = std::unique_ptr<image_t, ImageDeleter>;

bool ends_with(const std::string& s, const char* suffix)
{
    size_t n = std::strlen(suffix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i])
            return false;
    return true;
}

// Skips white space and '#' comments of a PNM header.
int pnm_skip(FILE* f)
{
    int c = std::fgetc(f);
    for (;;) {
        while (c != EOF && std::isspace(c))
            c = std::fgetc(f);
        if (c != '#')
            return c;
        while (c != EOF && c != '\n')
            c = std::fgetc(f);
    }
}

// A decimal header number; false when there is none or it is too large.
bool pnm_number(FILE* f, long* v)
{
    int c = pnm_skip(f);
    if (c == EOF || !std::isdigit(c))
        return false;
    long x = 0;
    while (c != EOF && std::isdigit(c)) {
        x = x * 10 + (c - '0');
        if (x > 1000000000L)
            return false;
        c = std::fgetc(f);
    }
    // The one white-space character after the number is part of the header;
    // anything else is put back for the next token.
    if (c != EOF && !std::isspace(c))
        std::ungetc(c, f);
    *v = x;
    return true;
}

// Moves n samples from raw into the component's sample stream, from sample
// first on: filebps bytes each (big- or little-endian in the file), each
// stored in the image's bytes per sample, most significant first.
// interleave > 1 takes every interleave-th sample starting at offset (for
// PPM).
bool fill_component(image_t* im, int cmpt, const uint8_t* raw, size_t n, int64_t first,
                    int filebps, bool bigendian, int interleave, int offset)
{
    stream_t* s = image_cmpt_stream(im, cmpt);
    const int cps = image_cmpt_cps(im, cmpt);
    if (!s || stream_seek(s, first * cps, SEEK_SET) != first * cps)
        return false;
    thread_local std::vector<uint8_t> out;
    out.resize(n * cps);
    if (filebps == 1 && cps == 1) {
        const uint8_t* p = raw + offset;
        for (size_t i = 0; i < n; ++i, p += interleave)
            out[i] = *p;
    } else {
        for (size_t i = 0; i < n; ++i) {
            const uint8_t* p = raw + (i * interleave + offset) * filebps;
            uint32_t v = 0;
            for (int b = 0; b < filebps; ++b)
                v = (v << 8) | p[bigendian ? b : filebps - 1 - b];
            for (int b = 0; b < cps; ++b)
                out[i * cps + b] = static_cast<uint8_t>(v >> (8 * (cps - 1 - b)));
        }
    }
    return stream_write(s, out.data(), static_cast<int64_t>(out.size())) ==
               static_cast<int64_t>(out.size()) &&
           stream_flush(s) == 0;
}

// The 8-bit samples of a PGM or PPM file straight into the components'
// memory, in bands of rows that the pool's threads read and split
// independently (each with its own buffer), each pixel's samples read once.
struct pnm_bands_t {
    int fd;
    long at;  // file offset of the first sample
    long w, h, band;
    int numcmpts;
    size_t rowbytes;
    uint8_t** mem;
    std::vector<std::vector<uint8_t>> raw;  // one buffer per worker
    std::atomic<bool> failed;
};

void pnm_band(void* arg, int64_t i, int worker)
{
    pnm_bands_t& j = *static_cast<pnm_bands_t*>(arg);
    const long y = static_cast<long>(i) * j.band;
    const long rows = std::min(j.band, j.h - y);
    const size_t len = j.rowbytes * static_cast<size_t>(rows);
    std::vector<uint8_t>& raw = j.raw[static_cast<size_t>(worker)];
    raw.resize(len);
    for (size_t got = 0; got < len;) {
        const ssize_t r = pread(j.fd, raw.data() + got, len - got,
                                static_cast<off_t>(j.at + static_cast<off_t>(y) * j.rowbytes + got));
        if (r <= 0) {
            j.failed = true;
            return;
        }
        got += static_cast<size_t>(r);
    }
    const size_t n = static_cast<size_t>(j.w) * rows;
    const size_t first = static_cast<size_t>(y) * j.w;
    if (j.numcmpts == 3)
        deinterleave3(raw.data(), j.mem[0] + first, j.mem[1] + first, j.mem[2] + first, n);
    else
        std::memcpy(j.mem[0] + first, raw.data(), n);
}

image_t* read_pnm(const std::string& path)
{
    file_ptr f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        std::fprintf(stderr, "cannot open \"%s\"\n", path.c_str());
        return nullptr;
    }
    int c0 = std::fgetc(f.get());
    int c1 = std::fgetc(f.get());
    if (c0 != 'P' || (c1 != '5' && c1 != '6')) {
        std::fprintf(stderr, "%s: not a binary PGM or PPM file\n", path.c_str());
        return nullptr;
    }
    int numcmpts = c1 == '5' ? 1 : 3;
    long w, h, maxval;
    if (!pnm_number(f.get(), &w) || !pnm_number(f.get(), &h) || !pnm_number(f.get(), &maxval) ||
        w <= 0 || h <= 0 || maxval <= 0 || maxval > 65535) {
        std::fprintf(stderr, "%s: bad PGM/PPM header\n", path.c_str());
        return nullptr;
    }
    int filebps = maxval > 255 ? 2 : 1;
    unsigned long long bytes =
        static_cast<unsigned long long>(w) * static_cast<unsigned long long>(h) * numcmpts * filebps;
    if (bytes > (1ULL << 34)) {
        std::fprintf(stderr, "%s: picture too large\n", path.c_str());
        return nullptr;
    }
    // A file shorter than its header says fails before the picture is made.
    const long at = std::ftell(f.get());
    if (at < 0 || std::fseek(f.get(), 0, SEEK_END) != 0 ||
        static_cast<unsigned long long>(std::ftell(f.get()) - at) < bytes ||
        std::fseek(f.get(), at, SEEK_SET) != 0) {
        std::fprintf(stderr, "%s: file ends before its samples\n", path.c_str());
        return nullptr;
    }
    // A maxval of 2^k - 1 gives k-bit samples; any other maxval 8 or 16.
    int prec = 1;
    while ((1L << prec) - 1 < maxval)
        ++prec;
    if ((1L << prec) - 1 != maxval)
        prec = filebps * 8;
    std::vector<image_cmptparm_t> parms(numcmpts, image_cmptparm_t{static_cast<int32_t>(w),
                                                                    static_cast<int32_t>(h),
                                                                    prec, 0});
    image_ptr im(image_create(numcmpts, parms.data(),
                              numcmpts == 3 ? IMAGE_CM_RGB : IMAGE_CM_GRAY, true));
    if (!im) {
        std::fprintf(stderr, "%s: not enough memory for the picture\n", path.c_str());
        return nullptr;
    }
    // 8-bit samples of components held in memory are stored directly.
    uint8_t* mem[3] = {};
    bool direct = filebps == 1;
    for (int i = 0; i < numcmpts && direct; ++i)
        direct = image_cmpt_cps(im.get(), i) == 1 && (mem[i] = image_cmpt_memory(im.get(), i));
    // The file's rows come through a buffer of about 1 MiB.
    const size_t rowbytes = static_cast<size_t>(w) * numcmpts * filebps;
    const long band = std::max<long>(1, static_cast<long>((size_t(1) << 20) / rowbytes));
    if (direct) {
        pnm_bands_t job{fileno(f.get()), at, w, h, band, numcmpts, rowbytes, mem, {}, false};
        job.raw.resize(static_cast<size_t>(threadpool_numthreads()));
        threadpool_for((h + band - 1) / band, pnm_band, nullptr, &job);
        if (job.failed) {
            std::fprintf(stderr, "%s: file ends before its samples\n", path.c_str());
            return nullptr;
        }
        return im.release();
    }
    std::vector<uint8_t> raw(rowbytes * static_cast<size_t>(std::min(band, h)));
    for (long y = 0; y < h; y += band) {
        const long rows = std::min(band, h - y);
        const size_t len = rowbytes * static_cast<size_t>(rows);
        if (std::fread(raw.data(), 1, len, f.get()) != len) {
            std::fprintf(stderr, "%s: file ends before its samples\n", path.c_str());
            return nullptr;
        }
        const size_t n = static_cast<size_t>(w) * rows;
        for (int i = 0; i < numcmpts; ++i)
            if (!fill_component(im.get(), i, raw.data(), n, int64_t(y) * w, filebps, true,
                                numcmpts, i)) {
                std::fprintf(stderr, "%s: not enough memory for the picture\n", path.c_str());
                return nullptr;
            }
    }
    return im.release();
}

// One PGX component file: header and samples.
struct PgxFile {
    int32_t width = 0, height = 0, prec = 0, sgnd = 0, filebps = 0;
    bool bigendian = true;
    std::vector<uint8_t> raw;
};

bool read_pgx_file(const std::string& path, PgxFile* pgx)
{
    file_ptr f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        std::fprintf(stderr, "cannot open \"%s\"\n", path.c_str());
        return false;
    }
    char line[256];
    if (!std::fgets(line, sizeof line, f.get()) || !std::strchr(line, '\n')) {
        std::fprintf(stderr, "%s: bad PGX header\n", path.c_str());
        return false;
    }
    // "PG ML|LM [+|-]PREC WIDTH HEIGHT", the sign possibly glued to PREC.
    char order[3] = {0};
    const char* p = line;
    if (std::strncmp(p, "PG", 2) != 0) {
        std::fprintf(stderr, "%s: not a PGX file\n", path.c_str());
        return false;
    }
    p += 2;
    while (*p == ' ' || *p == '\t')
        ++p;
    order[0] = p[0];
    order[1] = order[0] ? p[1] : 0;
    bool okorder = std::strcmp(order, "ML") == 0 || std::strcmp(order, "LM") == 0;
    p += okorder ? 2 : 0;
    while (*p == ' ' || *p == '\t')
        ++p;
    char sign = '+';
    if (*p == '+' || *p == '-') {
        sign = *p++;
        while (*p == ' ' || *p == '\t')
            ++p;
    }
    long prec = 0, w = 0, h = 0;
    char* end;
    prec = std::strtol(p, &end, 10);
    bool ok = okorder && end != p;
    p = end;
    w = std::strtol(p, &end, 10);
    ok = ok && end != p;
    p = end;
    h = std::strtol(p, &end, 10);
    ok = ok && end != p;
    if (!ok || prec < 1 || prec > 32 || w <= 0 || h <= 0 || w > 0x7fffffffL || h > 0x7fffffffL) {
        std::fprintf(stderr, "%s: bad PGX header\n", path.c_str());
        return false;
    }
    pgx->width = static_cast<int32_t>(w);
    pgx->height = static_cast<int32_t>(h);
    pgx->prec = static_cast<int32_t>(prec);
    pgx->sgnd = sign == '-';
    pgx->bigendian = order[0] == 'M';
    pgx->filebps = prec <= 8 ? 1 : prec <= 16 ? 2 : 4;
    unsigned long long bytes = static_cast<unsigned long long>(w) * h * pgx->filebps;
    if (bytes > (1ULL << 34)) {
        std::fprintf(stderr, "%s: picture too large\n", path.c_str());
        return false;
    }
    pgx->raw.resize(static_cast<size_t>(bytes));
    if (std::fread(pgx->raw.data(), 1, pgx->raw.size(), f.get()) != pgx->raw.size()) {
        std::fprintf(stderr, "%s: file ends before its samples\n", path.c_str());
        return false;
    }
    return true;
}

image_t* read_pgx(const std::string& path)
{
    std::vector<PgxFile> files;
    file_ptr probe(std::fopen(path.c_str(), "rb"));
    if (probe) {
        probe.reset();
        files.emplace_back();
        if (!read_pgx_file(path, &files.back()))
            return nullptr;
    } else {
        std::string stem = path.substr(0, path.size() - 4);
        for (int i = 0; i < IMAGE_MAXCMPTS; ++i) {
            std::string name = stem + "_" + std::to_string(i) + ".pgx";
            file_ptr f(std::fopen(name.c_str(), "rb"));
            if (!f)
                break;
            f.reset();
            files.emplace_back();
            if (!read_pgx_file(name, &files.back()))
                return nullptr;
        }
        if (files.empty()) {
            std::fprintf(stderr, "cannot open \"%s\"\n", path.c_str());
            return nullptr;
        }
    }
    std::vector<image_cmptparm_t> parms;
    for (const PgxFile& f : files)
        parms.push_back(image_cmptparm_t{f.width, f.height, f.prec, f.sgnd});
    image_ptr im(image_create(static_cast<int>(parms.size()), parms.data(), IMAGE_CM_UNKNOWN, true));
    if (!im) {
        std::fprintf(stderr, "%s: not enough memory for the picture\n", path.c_str());
        return nullptr;
    }
    for (size_t i = 0; i < files.size(); ++i)
        if (!fill_component(im.get(), static_cast<int>(i), files[i].raw.data(),
                            size_t(files[i].width) * files[i].height, 0, files[i].filebps,
                            files[i].bigendian, 1, 0)) {
            std::fprintf(stderr, "%s: not enough memory for the picture\n", path.c_str());
            return nullptr;
        }
    return im.release();
}

// The samples of one component as integers, signed ones sign-extended from
// their precision.
bool component_samples(image_t* im, int cmpt, std::vector<int32_t>* samples)
{
    stream_t* s = image_cmpt_stream(im, cmpt);
    if (!s || stream_seek(s, 0, SEEK_SET) != 0)
        return false;
    int cps = image_cmpt_cps(im, cmpt);
    int prec = image_cmpt_prec(im, cmpt);
    bool sgnd = image_cmpt_sgnd(im, cmpt) != 0;
    size_t n = static_cast<size_t>(image_cmpt_width(im, cmpt)) * image_cmpt_height(im, cmpt);
    std::vector<uint8_t> raw(n * cps);
    if (stream_read(s, raw.data(), static_cast<int64_t>(raw.size())) !=
        static_cast<int64_t>(raw.size()))
        return false;
    samples->resize(n);
    uint32_t mask = prec >= 32 ? 0xffffffffu : (1u << prec) - 1;
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = 0;
        for (int b = 0; b < cps; ++b)
            v = (v << 8) | raw[i * cps + b];
        v &= mask;
        int64_t x = v;
        if (sgnd && prec < 32 && (v >> (prec - 1)))
            x -= int64_t(1) << prec;
        else if (sgnd && prec >= 32)
            x = static_cast<int32_t>(v);
        (*samples)[i] = static_cast<int32_t>(x);
    }
    return true;
}

bool write_bytes(FILE* f, const std::vector<uint8_t>& data)
{
    return std::fwrite(data.data(), 1, data.size(), f) == data.size();
}

int write_pgx(image_t* im, const std::string& path)
{
    std::string stem = path.substr(0, path.size() - 4);
    for (int i = 0; i < image_numcmpnts(im); ++i) {
        std::vector<int32_t> samples;
        if (!component_samples(im, i, &samples)) {
            std::fprintf(stderr, "cannot read the samples of component %d\n", i);
            return -1;
        }
        int prec = image_cmpt_prec(im, i);
        int bps = prec <= 8 ? 1 : prec <= 16 ? 2 : 4;
        std::string name = stem + "_" + std::to_string(i) + ".pgx";
        file_ptr f(std::fopen(name.c_str(), "wb"));
        if (!f) {
            std::fprintf(stderr, "cannot create \"%s\"\n", name.c_str());
            return -1;
        }
        std::fprintf(f.get(), "PG ML %c %d %d %d\n", image_cmpt_sgnd(im, i) ? '-' : '+', prec,
                     image_cmpt_width(im, i), image_cmpt_height(im, i));
        std::vector<uint8_t> out(samples.size() * bps);
        for (size_t k = 0; k < samples.size(); ++k) {
            uint32_t v = static_cast<uint32_t>(samples[k]);
            for (int b = 0; b < bps; ++b)
                out[k * bps + b] = static_cast<uint8_t>(v >> (8 * (bps - 1 - b)));
        }
        if (!write_bytes(f.get(), out) || std::fflush(f.get()) != 0) {
            std::fprintf(stderr, "cannot write \"%s\"\n", name.c_str());
            return -1;
        }
    }
    return 0;
}

// Rows of a PGM/PPM body: row r of the components at src[i] (w x cps[i]
// bytes further per row) interleaved into out + r x outrow.
struct pnm_rows_t {
    int n, bps;
    int32_t w;
    uint32_t mask;
    const int* cps;
    bool rgb8;
    const uint8_t* const* src;
    uint8_t* out;
    size_t outrow;
};

HOT_CLONES void interleave3(const uint8_t* __restrict r, const uint8_t* __restrict g,
                            const uint8_t* __restrict b, uint8_t* __restrict q, int32_t w)
{
    for (int32_t x = 0; x < w; ++x) {
        q[3 * x] = r[x];
        q[3 * x + 1] = g[x];
        q[3 * x + 2] = b[x];
    }
}

void pnm_row(void* arg, int64_t r, int)
{
    const pnm_rows_t& j = *static_cast<const pnm_rows_t*>(arg);
    const int32_t w = j.w;
    uint8_t* const row = j.out + static_cast<size_t>(r) * j.outrow;
    if (j.rgb8) {
        // The usual picture: one loop the compiler vectorises.
        const size_t off = static_cast<size_t>(r) * w;
        interleave3(j.src[0] + off, j.src[1] + off, j.src[2] + off, row, w);
        return;
    }
    for (int i = 0; i < j.n; ++i) {
        uint8_t* q = row + static_cast<size_t>(i) * j.bps;
        const uint8_t* p = j.src[i] + static_cast<size_t>(r) * w * j.cps[i];
        for (int32_t x = 0; x < w; ++x, q += j.n * j.bps) {
            uint32_t v = 0;
            for (int b = 0; b < j.cps[i]; ++b)
                v = (v << 8) | *p++;
            v &= j.mask;
            if (j.bps == 2) {
                q[0] = static_cast<uint8_t>(v >> 8);
                q[1] = static_cast<uint8_t>(v);
            } else {
                q[0] = static_cast<uint8_t>(v);
            }
        }
    }
}

int write_pnm(image_t* im, const std::string& path, bool ppm)
{
    int n = image_numcmpnts(im);
    if (n != (ppm ? 3 : 1)) {
        std::fprintf(stderr, "%s: a %s file needs %d component%s, the image has %d\n",
                     path.c_str(), ppm ? "PPM" : "PGM", ppm ? 3 : 1, ppm ? "s" : "", n);
        return -1;
    }
    int32_t w = image_cmpt_width(im, 0), h = image_cmpt_height(im, 0);
    int prec = image_cmpt_prec(im, 0);
    for (int i = 0; i < n; ++i)
        if (image_cmpt_width(im, i) != w || image_cmpt_height(im, i) != h ||
            image_cmpt_prec(im, i) != prec || image_cmpt_sgnd(im, i) || prec > 16) {
            std::fprintf(stderr,
                         "%s: PGM/PPM needs unsigned components of one size and precision "
                         "of at most 16 bits\n",
                         path.c_str());
            return -1;
        }
    file_ptr f(std::fopen(path.c_str(), "wb"));
    if (!f) {
        std::fprintf(stderr, "cannot create \"%s\"\n", path.c_str());
        return -1;
    }
    long maxval = (1L << prec) - 1;
    int bps = prec > 8 ? 2 : 1;
    std::fprintf(f.get(), "P%c\n%d %d\n%ld\n", ppm ? '6' : '5', w, h, maxval);
    // Row by row, interleaving the components: no copy of the whole picture.
    std::vector<int> cps(n);
    for (int i = 0; i < n; ++i) {
        cps[i] = image_cmpt_cps(im, i);
        stream_t* s = image_cmpt_stream(im, i);
        if (!s || cps[i] < 1 || cps[i] > 4 || stream_seek(s, 0, SEEK_SET) != 0) {
            std::fprintf(stderr, "cannot read the samples of component %d\n", i);
            return -1;
        }
    }
    pnm_rows_t job{};
    job.n = n;
    job.w = w;
    job.bps = bps;
    job.mask = static_cast<uint32_t>(maxval);
    job.cps = cps.data();
    job.rgb8 = n == 3 && prec == 8 && cps[0] == 1 && cps[1] == 1 && cps[2] == 1;
    const size_t outrow = static_cast<size_t>(w) * n * bps;
    // Samples in memory are interleaved straight from there, rows of about
    // 1 MiB at a time spread over the thread pool; those in temporary files
    // are read a row at a time.
    std::vector<const uint8_t*> mem(n);
    bool inmem = true;
    for (int i = 0; i < n; ++i) {
        mem[i] = image_cmpt_memory(im, i);
        inmem = inmem && mem[i];
    }
    const int32_t chunk = inmem ? std::max<int32_t>(1, static_cast<int32_t>((1 << 20) / outrow)) : 1;
    // Left uninitialised: every row is written whole before it goes out.
    std::unique_ptr<uint8_t[]> out(new uint8_t[outrow * std::min(chunk, h)]);
    const size_t part = static_cast<size_t>(w) * 4;
    std::vector<uint8_t> in(inmem ? 0 : part * n);
    std::vector<const uint8_t*> src(n);
    job.src = src.data();
    job.out = out.get();
    job.outrow = outrow;
    for (int32_t y = 0; y < h; y += chunk) {
        const int32_t rows = std::min(chunk, h - y);
        if (inmem) {
            for (int i = 0; i < n; ++i)
                src[i] = mem[i] + static_cast<size_t>(y) * w * cps[i];
            threadpool_for(rows, pnm_row, nullptr, &job);
        } else {
            for (int i = 0; i < n; ++i) {
                const int64_t len = static_cast<int64_t>(w) * cps[i];
                if (stream_read(image_cmpt_stream(im, i), in.data() + i * part, len) != len) {
                    std::fprintf(stderr, "cannot read the samples of component %d\n", i);
                    return -1;
                }
                src[i] = in.data() + i * part;
            }
            pnm_row(&job, 0, 0);
        }
        const size_t len = outrow * static_cast<size_t>(rows);
        if (std::fwrite(out.get(), 1, len, f.get()) != len) {
            std::fprintf(stderr, "cannot write \"%s\"\n", path.c_str());
            return -1;
        }
    }
    if (std::fflush(f.get()) != 0) {
        std::fprintf(stderr, "cannot write \"%s\"\n", path.c_str());
        return -1;
    }
    return 0;
}

} // namespace

namespace {

const picfile_photo_t* photo_io = nullptr;

bool starts(const unsigned char* b, size_t n, const char* magic, size_t m)
{
    return n >= m && std::memcmp(b, magic, m) == 0;
}

picfile_kind sniff_file(const char* path)
{
    file_ptr f(std::fopen(path, "rb"));
    if (!f)
        return PICFILE_NONE;
    unsigned char b[12];
    const size_t n = std::fread(b, 1, sizeof b, f.get());
    if (starts(b, n, "P5", 2) || starts(b, n, "P6", 2))
        return PICFILE_PNM;
    if (n >= 2 && b[0] == 'P' && (b[1] == '1' || b[1] == '2' || b[1] == '3' || b[1] == '4' ||
                                  b[1] == '7'))
        return PICFILE_PNMTEXT;
    if (starts(b, n, "PG", 2) && n >= 3 && (b[2] == ' ' || b[2] == '\t' || b[2] == 'M' ||
                                           b[2] == 'L'))
        return PICFILE_PGX;
    if (starts(b, n, "BM", 2))
        return PICFILE_BMP;
    if (starts(b, n, "\xff\xd8\xff", 3))
        return PICFILE_JPEG;
    if (starts(b, n, "\x89PNG\r\n\x1a\n", 8))
        return PICFILE_PNG;
    if (starts(b, n, "\xff\x4f\xff\x51", 4))
        return PICFILE_J2K;
    if (starts(b, n, "\0\0\0\x0cjP  \r\n\x87\n", 12))
        return PICFILE_JP2;
    return PICFILE_UNKNOWN;
}

} // namespace

picfile_kind picfile_sniff(const char* path)
{
    if (!path || !*path)
        return PICFILE_NONE;
    picfile_kind kind = sniff_file(path);
    std::string p(path);
    if (kind == PICFILE_NONE && ends_with(p, ".pgx") &&
        sniff_file((p.substr(0, p.size() - 4) + "_0.pgx").c_str()) == PICFILE_PGX)
        kind = PICFILE_PGX;
    return kind;
}

const char* picfile_kindname(picfile_kind kind)
{
    switch (kind) {
    case PICFILE_NONE: return "a file that cannot be opened";
    case PICFILE_UNKNOWN: return "not a picture jp2c reads";
    case PICFILE_PNM: return "a PGM/PPM picture";
    case PICFILE_PNMTEXT: return "a PNM picture in a form jp2c does not read (only P5 and P6)";
    case PICFILE_PGX: return "a PGX picture";
    case PICFILE_BMP: return "a Windows bitmap";
    case PICFILE_JPEG: return "a JPEG picture";
    case PICFILE_PNG: return "a PNG picture";
    case PICFILE_J2K: return "a JPEG 2000 code stream";
    case PICFILE_JP2: return "a JP2 file";
    }
    return "";
}

void picfile_setphoto(const picfile_photo_t* photo)
{
    photo_io = photo;
}

image_t* picfile_read(const char* path)
{
    const picfile_kind kind = picfile_sniff(path);
    switch (kind) {
    case PICFILE_PNM:
        return read_pnm(path);
    case PICFILE_PGX:
        return read_pgx(path);
    case PICFILE_BMP:
    case PICFILE_JPEG:
    case PICFILE_PNG:
        if (photo_io && photo_io->read)
            return photo_io->read(path, kind);
        std::fprintf(stderr, "\"%s\": this build of jp2c reads no photo formats\n", path);
        return nullptr;
    case PICFILE_NONE:
        std::fprintf(stderr, "cannot open \"%s\"\n", path ? path : "");
        return nullptr;
    default:
        std::fprintf(stderr,
                     "\"%s\" is %s; encode reads PGM/PPM, PGX, BMP, JPEG and PNG pictures\n",
                     path, picfile_kindname(kind));
        return nullptr;
    }
}

int picfile_write(image_t* image, const char* path)
{
    if (!image || !path || !*path) {
        std::fprintf(stderr, "no image or output file\n");
        return -1;
    }
    std::string p(path);
    if (ends_with(p, ".pgx"))
        return write_pgx(image, p);
    if (ends_with(p, ".pgm"))
        return write_pnm(image, p, false);
    if (ends_with(p, ".ppm"))
        return write_pnm(image, p, true);
    const bool bmp = ends_with(p, ".bmp"), png = ends_with(p, ".png");
    if ((bmp || png) && photo_io && photo_io->write)
        return photo_io->write(image, path, bmp ? PICFILE_BMP : PICFILE_PNG);
    std::fprintf(stderr, "\"%s\": unknown output format (use .pgm, .ppm, .pgx, .bmp or .png)\n",
                 path);
    return -1;
}
