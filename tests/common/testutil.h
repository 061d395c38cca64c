// Helpers shared by the test programs: a temporary folder, running a command,
// reading and writing PGX/PNM pictures, generating pictures and comparing
// them.  Header only; everything is inline.
#ifndef TESTS_COMMON_TESTUTIL_H
#define TESTS_COMMON_TESTUTIL_H

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace testutil {

// A fresh folder under the system's temporary folder, removed with all its
// content when the object goes away.
class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "jp2test-XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        if (mkdtemp(buf.data()))
            path_ = buf.data();
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(path_, ec);
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Quotes a word for /bin/sh.
inline std::string shell_quote(const std::string& s)
{
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// Runs a shell command with standard output and standard error captured
// together into *output (when given).  Returns the exit status, or -1 when
// the command could not be run or was ended by a signal.
inline int run_command(const std::string& cmd, std::string* output = nullptr)
{
    std::string full = cmd + " 2>&1";
    FILE* p = popen(full.c_str(), "r");
    if (!p)
        return -1;
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        text.append(buf, n);
    int st = pclose(p);
    if (output)
        *output = text;
    if (st == -1 || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

inline bool have_program(const char* path)
{
    return path && *path && access(path, X_OK) == 0;
}

// "" when the peer codec's program (opj_... or grk_...) at path can be run,
// else a message naming the Debian package that brings it.
inline std::string missing_peer(const char* path, const char* tool)
{
    if (have_program(path))
        return "";
    const char* package = std::strncmp(tool, "grk_", 4) == 0 ? "grokj2k-tools" : "libopenjp2-tools";
    return std::string(tool) + " is missing: install the Debian package " + package +
           " (scripts/deps does)";
}

} // namespace testutil

// Fails the test (a fatal failure, so the rest of the test or fixture does
// not run) when a peer codec's program is missing: the test oracles are part
// of the set-up, never a reason to skip.
#define REQUIRE_PEER(path, tool)                                                  \
    do {                                                                          \
        const std::string missing_ = testutil::missing_peer(path, tool);          \
        if (!missing_.empty())                                                    \
            FAIL() << missing_;                                                   \
    } while (0)

namespace testutil {

inline bool file_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline long long file_size(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

inline std::vector<uint8_t> read_file(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

inline bool write_file(const std::string& path, const std::vector<uint8_t>& data)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(f);
}

// A picture held as plain integers: every component has the same size.
struct Picture {
    int width = 0;
    int height = 0;
    int prec = 8;
    bool sgnd = false;
    std::vector<std::vector<int32_t>> comps; // comps[c][y * width + x]

    int numcomps() const { return static_cast<int>(comps.size()); }
    int32_t at(int c, int x, int y) const { return comps[c][static_cast<size_t>(y) * width + x]; }
};

// One PGX component: "PG ML|LM +|- PREC WIDTH HEIGHT\n" then the samples,
// big-endian (ML) or little-endian (LM), 1 byte per sample up to 8 bits,
// else 2 (4 above 16).  Returns false on any format error.
inline bool read_pgx(const std::string& path, Picture* pic, std::vector<int32_t>* samples)
{
    std::vector<uint8_t> data = read_file(path);
    size_t eol = 0;
    while (eol < data.size() && data[eol] != '\n')
        ++eol;
    if (eol >= data.size())
        return false;
    std::string head(data.begin(), data.begin() + static_cast<long>(eol));
    char pg[3] = {0}, order[3] = {0};
    char sign = '+';
    int prec = 0, w = 0, h = 0;
    // The sign may be absent or glued to the precision.
    std::istringstream is(head);
    std::string t1, t2, t3;
    is >> t1 >> t2;
    if (t1 != "PG" || (t2 != "ML" && t2 != "LM"))
        return false;
    std::memcpy(pg, "PG", 2);
    std::memcpy(order, t2.c_str(), 2);
    is >> t3;
    if (t3 == "+" || t3 == "-") {
        sign = t3[0];
        is >> prec;
    } else if (!t3.empty() && (t3[0] == '+' || t3[0] == '-')) {
        sign = t3[0];
        prec = std::atoi(t3.c_str() + 1);
    } else {
        prec = std::atoi(t3.c_str());
    }
    is >> w >> h;
    if (!is || prec < 1 || prec > 32 || w <= 0 || h <= 0)
        return false;
    int bps = prec <= 8 ? 1 : prec <= 16 ? 2 : 4;
    size_t n = static_cast<size_t>(w) * h;
    if (data.size() - eol - 1 < n * bps)
        return false;
    const uint8_t* p = data.data() + eol + 1;
    samples->assign(n, 0);
    bool big = order[0] == 'M';
    for (size_t i = 0; i < n; ++i) {
        uint32_t v = 0;
        for (int b = 0; b < bps; ++b) {
            uint32_t byte = p[i * bps + (big ? b : bps - 1 - b)];
            v = (v << 8) | byte;
        }
        int32_t s;
        if (sign == '-' && bps < 4) {
            uint32_t m = 1u << (8 * bps - 1);
            s = static_cast<int32_t>((v ^ m)) - static_cast<int32_t>(m);
        } else {
            s = static_cast<int32_t>(v);
        }
        (*samples)[i] = s;
    }
    pic->width = w;
    pic->height = h;
    pic->prec = prec;
    pic->sgnd = sign == '-';
    return true;
}

// Reads NAME_0.pgx, NAME_1.pgx, ... (given "NAME.pgx") until one is missing.
inline bool read_pgx_set(const std::string& path, Picture* pic)
{
    std::string stem = path.substr(0, path.size() - 4);
    pic->comps.clear();
    for (int c = 0;; ++c) {
        std::string f = stem + "_" + std::to_string(c) + ".pgx";
        if (!file_exists(f))
            break;
        Picture one;
        std::vector<int32_t> s;
        if (!read_pgx(f, &one, &s))
            return false;
        if (c > 0 && (one.width != pic->width || one.height != pic->height))
            return false;
        pic->width = one.width;
        pic->height = one.height;
        pic->prec = one.prec;
        pic->sgnd = one.sgnd;
        pic->comps.push_back(std::move(s));
    }
    return !pic->comps.empty();
}

// PGM (P5) or PPM (P6), with comments; maxval up to 65535.
inline bool read_pnm(const std::string& path, Picture* pic)
{
    std::vector<uint8_t> data = read_file(path);
    size_t pos = 0;
    auto skip_space = [&] {
        for (;;) {
            while (pos < data.size() && std::isspace(data[pos]))
                ++pos;
            if (pos < data.size() && data[pos] == '#') {
                while (pos < data.size() && data[pos] != '\n')
                    ++pos;
                continue;
            }
            break;
        }
    };
    auto number = [&](long* v) {
        skip_space();
        if (pos >= data.size() || !std::isdigit(data[pos]))
            return false;
        long x = 0;
        while (pos < data.size() && std::isdigit(data[pos]) && x < 100000000)
            x = x * 10 + (data[pos++] - '0');
        *v = x;
        return true;
    };
    if (data.size() < 2 || data[0] != 'P' || (data[1] != '5' && data[1] != '6'))
        return false;
    int nc = data[1] == '5' ? 1 : 3;
    pos = 2;
    long w, h, maxval;
    if (!number(&w) || !number(&h) || !number(&maxval) || w <= 0 || h <= 0 || maxval <= 0 ||
        maxval > 65535)
        return false;
    if (pos >= data.size() || !std::isspace(data[pos]))
        return false;
    ++pos;
    int bps = maxval > 255 ? 2 : 1;
    size_t n = static_cast<size_t>(w) * h;
    if (data.size() - pos < n * nc * bps)
        return false;
    pic->width = static_cast<int>(w);
    pic->height = static_cast<int>(h);
    int prec = 1;
    while ((1L << prec) - 1 < maxval)
        ++prec;
    pic->prec = prec;
    pic->sgnd = false;
    pic->comps.assign(nc, std::vector<int32_t>(n));
    const uint8_t* p = data.data() + pos;
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < nc; ++c) {
            const uint8_t* q = p + (i * nc + c) * bps;
            pic->comps[c][i] = bps == 1 ? q[0] : (q[0] << 8 | q[1]);
        }
    return true;
}

// Reads a picture by its extension: .pgx (as a set NAME_k.pgx), .pgm, .ppm.
inline bool read_picture(const std::string& path, Picture* pic)
{
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".pgx") == 0)
        return read_pgx_set(path, pic);
    return read_pnm(path, pic);
}

inline bool write_pnm(const std::string& path, const Picture& pic)
{
    int nc = pic.numcomps();
    if (nc != 1 && nc != 3)
        return false;
    long maxval = (1L << pic.prec) - 1;
    int bps = maxval > 255 ? 2 : 1;
    std::string head = std::string(nc == 1 ? "P5" : "P6") + "\n" + std::to_string(pic.width) +
                       " " + std::to_string(pic.height) + "\n" + std::to_string(maxval) + "\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    size_t n = static_cast<size_t>(pic.width) * pic.height;
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < nc; ++c) {
            int32_t v = pic.comps[c][i];
            if (bps == 2)
                out.push_back(static_cast<uint8_t>(v >> 8));
            out.push_back(static_cast<uint8_t>(v));
        }
    return write_file(path, out);
}

// Writes one component as a big-endian PGX file.
inline bool write_pgx(const std::string& path, const Picture& pic, int comp)
{
    std::string head = "PG ML " + std::string(pic.sgnd ? "-" : "+") + " " +
                       std::to_string(pic.prec) + " " + std::to_string(pic.width) + " " +
                       std::to_string(pic.height) + "\n";
    std::vector<uint8_t> out(head.begin(), head.end());
    int bps = pic.prec <= 8 ? 1 : 2;
    for (int32_t v : pic.comps[comp]) {
        if (bps == 2)
            out.push_back(static_cast<uint8_t>(v >> 8));
        out.push_back(static_cast<uint8_t>(v));
    }
    return write_file(path, out);
}

// A crop of a 24-bit Windows bitmap (rows bottom-up, BGR, rows padded to 4
// bytes), as RGB or as one grey component.
inline bool read_bmp_crop(const std::string& path, int x0, int y0, int w, int h, bool grey,
                   Picture* pic)
{
    std::vector<uint8_t> d = read_file(path);
    if (d.size() < 54 || d[0] != 'B' || d[1] != 'M')
        return false;
    auto u32 = [&](size_t o) { return uint32_t(d[o] | d[o + 1] << 8 | d[o + 2] << 16 | d[o + 3] << 24); };
    uint32_t off = u32(10);
    int bw = int(u32(18)), bh = int(u32(22));
    if ((d[28] | d[29] << 8) != 24 || x0 + w > bw || y0 + h > bh)
        return false;
    size_t stride = (size_t(bw) * 3 + 3) & ~size_t(3);
    pic->width = w;
    pic->height = h;
    pic->prec = 8;
    pic->comps.assign(grey ? 1 : 3, std::vector<int32_t>(size_t(w) * h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            size_t o = off + size_t(bh - 1 - (y0 + y)) * stride + size_t(x0 + x) * 3;
            if (o + 2 >= d.size())
                return false;
            int b = d[o], g = d[o + 1], r = d[o + 2];
            size_t i = size_t(y) * w + x;
            if (grey) {
                pic->comps[0][i] = (r * 77 + g * 150 + b * 29) >> 8;
            } else {
                pic->comps[0][i] = r;
                pic->comps[1][i] = g;
                pic->comps[2][i] = b;
            }
        }
    return true;
}

// Test pictures.  "noise" is uniformly random; "smooth" is a sum of slow
// waves with a little noise, closer to a photograph.
inline Picture make_picture(int width, int height, int numcomps, int prec, bool smooth,
                            unsigned seed = 1, bool sgnd = false)
{
    Picture pic;
    pic.width = width;
    pic.height = height;
    pic.prec = prec;
    pic.sgnd = sgnd;
    std::mt19937 rng(seed);
    int64_t maxv = (int64_t(1) << prec) - 1;
    int64_t offset = sgnd ? (int64_t(1) << (prec - 1)) : 0;
    pic.comps.assign(numcomps, std::vector<int32_t>(static_cast<size_t>(width) * height));
    for (int c = 0; c < numcomps; ++c)
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                int64_t v;
                if (smooth) {
                    double f = 0.5 + 0.2 * std::sin(x * 0.07 + c) + 0.2 * std::cos(y * 0.05 - c) +
                               0.05 * std::sin((x + y) * 0.3);
                    f += (static_cast<int>(rng() % 1000) - 500) * 0.00004;
                    v = static_cast<int64_t>(f * maxv);
                } else {
                    v = static_cast<int64_t>(rng() % static_cast<uint64_t>(maxv + 1));
                }
                v = v < 0 ? 0 : v > maxv ? maxv : v;
                pic.comps[c][static_cast<size_t>(y) * width + x] = static_cast<int32_t>(v - offset);
            }
    return pic;
}

// Peak signal-to-noise ratio over all components (infinity when equal).
inline double psnr(const Picture& a, const Picture& b)
{
    if (a.numcomps() != b.numcomps() || a.width != b.width || a.height != b.height)
        return -1.0;
    double se = 0.0;
    size_t n = 0;
    for (int c = 0; c < a.numcomps(); ++c)
        for (size_t i = 0; i < a.comps[c].size(); ++i) {
            double d = double(a.comps[c][i]) - double(b.comps[c][i]);
            se += d * d;
            ++n;
        }
    if (se == 0.0)
        return INFINITY;
    double peak = double((int64_t(1) << a.prec) - 1);
    return 10.0 * std::log10(peak * peak / (se / double(n)));
}

// Describes the first difference between two pictures ("" when equal).
inline std::string first_difference(const Picture& a, const Picture& b)
{
    if (a.numcomps() != b.numcomps())
        return "component count " + std::to_string(a.numcomps()) + " vs " +
               std::to_string(b.numcomps());
    if (a.width != b.width || a.height != b.height)
        return "size " + std::to_string(a.width) + "x" + std::to_string(a.height) + " vs " +
               std::to_string(b.width) + "x" + std::to_string(b.height);
    for (int c = 0; c < a.numcomps(); ++c)
        for (int y = 0; y < a.height; ++y)
            for (int x = 0; x < a.width; ++x)
                if (a.at(c, x, y) != b.at(c, x, y))
                    return "component " + std::to_string(c) + " at (" + std::to_string(x) + ", " +
                           std::to_string(y) + "): " + std::to_string(a.at(c, x, y)) + " vs " +
                           std::to_string(b.at(c, x, y));
    return "";
}

} // namespace testutil

#endif
