// Buffered byte streams: buffer logic over memory, file and custom devices.
#include "base/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "testutil.h"

namespace {

std::vector<unsigned char> pattern(size_t n, unsigned seed = 1)
{
    std::vector<unsigned char> v(n);
    std::mt19937 rng(seed);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

// A memory stream holding data, positioned at 0, nothing counted yet.
stream_t* memwith(const std::vector<unsigned char>& data)
{
    stream_t* s = stream_memopen(nullptr, 0);
    EXPECT_NE(s, nullptr);
    EXPECT_EQ(stream_write(s, data.data(), data.size()), int64_t(data.size()));
    EXPECT_EQ(stream_rewind(s), 0);
    stream_setrwcount(s, 0);
    return s;
}

// Text that a dump function prints to a FILE.
template <class F>
std::string capture(F&& f)
{
    char* buf = nullptr;
    size_t len = 0;
    FILE* fp = open_memstream(&buf, &len);
    f(fp);
    std::fclose(fp);
    std::string out(buf, len);
    std::free(buf);
    return out;
}

TEST(StreamMemory, EndOfDataIsStickyAcrossSeek)
{
    stream_t* s = memwith({1, 2, 3});
    EXPECT_EQ(stream_getc(s), 1);
    EXPECT_EQ(stream_getc(s), 2);
    EXPECT_EQ(stream_peekc(s), 3);
    EXPECT_EQ(stream_getc(s), 3);
    EXPECT_FALSE(stream_eof(s));
    EXPECT_EQ(stream_getc(s), -1);
    EXPECT_TRUE(stream_eof(s));
    EXPECT_FALSE(stream_error(s));
    EXPECT_EQ(stream_seek(s, 0, SEEK_SET), 0);
    EXPECT_EQ(stream_getc(s), -1);
    EXPECT_EQ(stream_putc(s, 7), -1);
    stream_clearerr(s);
    EXPECT_EQ(stream_getc(s), 1);
    EXPECT_EQ(stream_close(s), 0);
}

TEST(StreamMemory, GrowthDoublesAndZeroFillsGaps)
{
    stream_t* s = stream_memopen(nullptr, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_membufsize(s), 1024);
    auto data = pattern(3000);
    EXPECT_EQ(stream_write(s, data.data(), 3000), 3000);
    EXPECT_EQ(stream_memlength(s), 3000);
    EXPECT_EQ(stream_membufsize(s), 4096);
    ASSERT_EQ(std::memcmp(stream_memdata(s), data.data(), 3000), 0);
    EXPECT_EQ(stream_close(s), 0);

    s = stream_memopen(nullptr, 0);
    for (int i = 0; i < 10; ++i)
        stream_putc(s, 0xee);
    EXPECT_EQ(stream_seek(s, 100, SEEK_SET), 100);
    EXPECT_EQ(stream_putc(s, 0x55), 0x55);
    ASSERT_EQ(stream_memlength(s), 101);
    const unsigned char* mem = stream_memdata(s);
    for (int i = 10; i < 100; ++i)
        ASSERT_EQ(mem[i], 0) << i;
    EXPECT_EQ(mem[100], 0x55);
    // Reading the gap back through the stream gives the zeros too.
    EXPECT_EQ(stream_seek(s, 9, SEEK_SET), 9);
    EXPECT_EQ(stream_getc(s), 0xee);
    EXPECT_EQ(stream_getc(s), 0);
    EXPECT_EQ(stream_close(s), 0);
}

TEST(StreamMemory, FixedSizeRefusesToOverflow)
{
    unsigned char own[8] = {};
    stream_t* s = stream_memopen(own, 8);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_write(s, "abcdefghij", 10), 10);  // buffered so far
    EXPECT_EQ(stream_flush(s), -1);                     // the device took only 8
    EXPECT_TRUE(stream_error(s));
    EXPECT_EQ(std::memcmp(own, "abcdefgh", 8), 0);
    EXPECT_EQ(stream_close(s), -1);

    // A caller's buffer only goes with a size; a growable memory is its own.
    EXPECT_EQ(stream_memopen(own, 0), nullptr);

    // Sizes beyond what memory can hold are refused, not attempted.
    EXPECT_EQ(stream_memopen(nullptr, int64_t(1) << 50), nullptr);
    s = stream_memopen(nullptr, 0);
    EXPECT_EQ(stream_seek(s, int64_t(1) << 45, SEEK_SET), int64_t(1) << 45);
    EXPECT_EQ(stream_putc(s, 1), 1);
    EXPECT_EQ(stream_flush(s), -1);
    EXPECT_TRUE(stream_error(s));
    EXPECT_EQ(stream_membufsize(s), 1024);
    EXPECT_EQ(stream_close(s), -1);
}

TEST(StreamMemory, ViewOfWrittenBytesReadsThemAndNeverGrowsOrFrees)
{
    unsigned char own[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    stream_t* s = stream_memview(own, 6);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_memdata(s), own);
    EXPECT_EQ(stream_memlength(s), 6);
    unsigned char got[8] = {};
    EXPECT_EQ(stream_read(s, got, 8), 6);
    EXPECT_EQ(std::memcmp(got, own, 6), 0);
    EXPECT_EQ(stream_putc(s, 'g'), -1);  // fixed size: no room beyond
    EXPECT_EQ(stream_close(s), 0);       // the caller's memory stays
    EXPECT_EQ(own[5], 'f');

    s = stream_memview(own, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_memlength(s), 0);
    EXPECT_EQ(stream_getc(s), -1);
    EXPECT_EQ(stream_close(s), 0);
    EXPECT_EQ(stream_memview(nullptr, 1), nullptr);
}

TEST(StreamBuffer, PutBackRightAfterOpenAndAfterRefills)
{
    stream_t* s = memwith({10, 20, 30});
    EXPECT_EQ(stream_getc(s), 10);
    EXPECT_EQ(stream_getc(s), 20);
    EXPECT_EQ(stream_ungetc(s, 20), 0);
    EXPECT_EQ(stream_ungetc(s, 10), 0);
    EXPECT_EQ(stream_tell(s), 0);
    EXPECT_EQ(stream_getc(s), 10);
    EXPECT_EQ(stream_getc(s), 20);
    EXPECT_EQ(stream_getc(s), 30);
    EXPECT_EQ(stream_close(s), 0);

    // Across a buffer boundary: 16 bytes can go back right after a refill.
    auto data = pattern(3 * STREAM_BUFSIZE);
    s = memwith(data);
    std::vector<unsigned char> head(STREAM_BUFSIZE + 3);
    ASSERT_EQ(stream_read(s, head.data(), head.size()), int64_t(head.size()));
    for (int i = 1; i <= STREAM_MAXPUTBACK; ++i)
        ASSERT_EQ(stream_ungetc(s, data[head.size() - i]), 0) << i;
    EXPECT_EQ(stream_tell(s), int64_t(head.size()) - STREAM_MAXPUTBACK);
    EXPECT_EQ(stream_getrwcount(s), int64_t(head.size()) - STREAM_MAXPUTBACK);
    std::vector<unsigned char> rest(data.size() - head.size() + STREAM_MAXPUTBACK);
    ASSERT_EQ(stream_read(s, rest.data(), rest.size()), int64_t(rest.size()));
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), data.end() - rest.size()));
    EXPECT_EQ(stream_close(s), 0);

    // The reserve is finite, and unwritten data cannot be put back.
    s = memwith(pattern(100));
    stream_getc(s);
    int ok = 0;
    while (stream_ungetc(s, 0) == 0 && ok < 100)
        ++ok;
    EXPECT_EQ(ok, 1 + STREAM_MAXPUTBACK);
    EXPECT_EQ(stream_close(s), 0);
    s = stream_memopen(nullptr, 0);
    stream_putc(s, 1);
    EXPECT_EQ(stream_ungetc(s, 1), -1);
    EXPECT_EQ(stream_close(s), 0);
}

// Block reads move whole buffer runs; they must behave exactly like a loop
// of single-byte gets, limits and end of data included.
TEST(StreamBuffer, BlockTransfersMatchByteLoops)
{
    std::mt19937 rng(7);
    auto data = pattern(50000, 3);
    for (int trial = 0; trial < 40; ++trial) {
        int64_t limit = (trial % 3 == 0) ? -1 : int64_t(rng() % 60000);
        stream_t* a = memwith(data);
        stream_t* b = memwith(data);
        stream_setrwlimit(a, limit);
        stream_setrwlimit(b, limit);
        for (int step = 0; step < 12; ++step) {
            int64_t n = rng() % 12000;
            std::vector<unsigned char> ba(n), bb(n);
            int64_t got = stream_read(a, ba.data(), n);
            int64_t gotb = 0;
            for (; gotb < n; ++gotb) {
                int c = stream_getc(b);
                if (c < 0)
                    break;
                bb[gotb] = static_cast<unsigned char>(c);
            }
            ASSERT_EQ(got, gotb);
            ASSERT_TRUE(std::equal(ba.begin(), ba.begin() + got, bb.begin()));
            ASSERT_EQ(a->flags_, b->flags_);
            ASSERT_EQ(stream_tell(a), stream_tell(b));
            ASSERT_EQ(stream_getrwcount(a), stream_getrwcount(b));
        }
        stream_close(a);
        stream_close(b);

    }
}

// Random mixes of gets, puts, block transfers, put-backs and seeks on a
// memory stream and a temporary file against a plain model of the content
// and position.
TEST(StreamBuffer, RandomOperationsFollowTheModel)
{
    std::mt19937 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        std::vector<unsigned char> model = pattern(rng() % 30000, trial);
        int64_t pos = 0;
        bool eof = false;
        bool canputback = false;
        stream_t* s = memwith(model);
        if (trial % 4 == 3) {
            stream_t* f = stream_tmpfile();
            ASSERT_NE(f, nullptr);
            ASSERT_EQ(stream_copy(f, s, -1), 0);
            ASSERT_EQ(stream_rewind(f), 0);
            stream_close(s);
            s = f;
        }
        for (int step = 0; step < 400; ++step) {
            int op = rng() % 8;
            if (op == 0) {  // get
                int c = stream_getc(s);
                int want = (!eof && pos < int64_t(model.size())) ? model[pos] : -1;
                ASSERT_EQ(c, want) << trial << ' ' << step;
                if (want < 0)
                    eof = true;
                else
                    ++pos;
                canputback = want >= 0;
            } else if (op == 1) {  // block read
                int64_t n = rng() % 20000;
                std::vector<unsigned char> buf(n);
                int64_t got = stream_read(s, buf.data(), n);
                int64_t avail = eof ? 0 : std::max<int64_t>(0, int64_t(model.size()) - pos);
                ASSERT_EQ(got, std::min(n, avail)) << trial << ' ' << step;
                ASSERT_TRUE(std::equal(buf.begin(), buf.begin() + got, model.begin() + pos));
                pos += got;
                if (n > avail)
                    eof = true;
                canputback = got > 0;
            } else if (op == 2 && canputback) {  // put back the byte just read
                ASSERT_EQ(stream_ungetc(s, model[pos - 1]), 0);
                --pos;
                canputback = false;
            } else if (op == 3 || op == 4) {  // seek
                int64_t target = (op == 3) ? int64_t(rng() % (model.size() + 20))
                                           : pos + int64_t(rng() % 600) - 300;
                int64_t r = (op == 3) ? stream_seek(s, target, SEEK_SET)
                                      : stream_seek(s, target - pos, SEEK_CUR);
                if (target < 0) {
                    ASSERT_EQ(r, -1);
                } else {
                    ASSERT_EQ(r, target);
                    pos = target;
                }
                canputback = false;
            } else if (op == 5) {  // put
                int c = rng() & 0xff;
                ASSERT_EQ(stream_putc(s, c), eof ? -1 : c);
                if (!eof) {
                    if (pos >= int64_t(model.size()))
                        model.resize(pos + 1, 0);
                    model[pos++] = static_cast<unsigned char>(c);
                }
                canputback = false;
            } else if (op == 6) {  // block write
                int64_t n = rng() % 10000;
                auto data = pattern(n, step);
                ASSERT_EQ(stream_write(s, data.data(), n), eof ? 0 : n);
                if (!eof) {
                    if (pos + n > int64_t(model.size()))
                        model.resize(pos + n, 0);
                    std::copy(data.begin(), data.end(), model.begin() + pos);
                    pos += n;
                }
                canputback = false;
            } else if (op == 7 && eof) {
                stream_clearerr(s);
                eof = false;
            }
            ASSERT_EQ(stream_tell(s), pos) << trial << ' ' << step << ' ' << op;
        }
        stream_clearerr(s);
        ASSERT_EQ(stream_seek(s, 0, SEEK_END), int64_t(model.size()));
        ASSERT_EQ(stream_rewind(s), 0);
        std::vector<unsigned char> back(model.size() + 1);
        ASSERT_EQ(stream_read(s, back.data(), back.size()), int64_t(model.size()));
        ASSERT_TRUE(std::equal(model.begin(), model.end(), back.begin()));
        EXPECT_EQ(stream_close(s), 0);
    }
}

TEST(StreamBuffer, SeekAfterPutBackOfAnotherByteRereadsTheData)
{
    stream_t* s = memwith({1, 2, 3, 4});
    EXPECT_EQ(stream_getc(s), 1);
    EXPECT_EQ(stream_getc(s), 2);
    EXPECT_EQ(stream_ungetc(s, 9), 0);
    EXPECT_EQ(stream_getc(s), 9);
    EXPECT_EQ(stream_seek(s, 1, SEEK_SET), 1);
    EXPECT_EQ(stream_getc(s), 2);  // the data, not the byte put back
    EXPECT_EQ(stream_close(s), 0);
}

TEST(StreamCopy, CountsEndsAndFailures)
{
    auto data = pattern(30000);
    stream_t* in = memwith(data);
    stream_t* out = stream_memopen(nullptr, 0);
    EXPECT_EQ(stream_copy(out, in, -1), 0);  // everything, clean end
    ASSERT_EQ(stream_memlength(out), 30000);
    EXPECT_EQ(std::memcmp(stream_memdata(out), data.data(), 30000), 0);
    stream_close(in);
    stream_close(out);

    in = memwith(data);
    out = stream_memopen(nullptr, 0);
    EXPECT_EQ(stream_seek(in, 100, SEEK_SET), 100);
    EXPECT_EQ(stream_copy(out, in, 20000), 0);
    EXPECT_EQ(stream_tell(in), 20100);
    EXPECT_EQ(stream_memlength(out), 20000);
    EXPECT_EQ(stream_memdata(out)[0], data[100]);
    // Asking for more bytes than the input has is a failed copy.
    EXPECT_EQ(stream_copy(out, in, 10000), -1);
    EXPECT_EQ(stream_copy(out, in, 0), 0);
    stream_close(in);
    stream_close(out);

    // An output that refuses bytes fails the copy.
    in = memwith(data);
    unsigned char small[10];
    out = stream_memopen(small, sizeof small);
    EXPECT_EQ(stream_copy(out, in, 20000), -1);
    stream_close(in);
    stream_close(out);
}

TEST(StreamDisplay, HexDumpFormat)
{
    std::vector<unsigned char> data(40);
    for (int i = 0; i < 40; ++i)
        data[i] = static_cast<unsigned char>('0' + i);
    data[1] = 0x07;  // not printable
    stream_t* s = memwith(data);
    std::string text = capture([&](FILE* fp) { EXPECT_EQ(stream_display(s, fp, 40), 0); });
    EXPECT_EQ(text,
              std::string("00000000: 30 07 32 33 34 35 36 37 38 39 3a 3b 3c 3d 3e 3f 0 23456789:;<=>?\n") +
                  "00000020: 50 51 52 53 54 55 56 57" + std::string(1 + 8 * 3, ' ') + "PQRSTUVW\n");
    // All 40 bytes were consumed; a dump past the end fails.
    EXPECT_EQ(stream_tell(s), 40);
    stream_rewind(s);
    text = capture([&](FILE* fp) { EXPECT_EQ(stream_display(s, fp, 32), 0); });
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
    stream_rewind(s);
    capture([&](FILE* fp) { EXPECT_EQ(stream_display(s, fp, 41), -1); });
    stream_close(s);
}

TEST(StreamText, PrintfAndPuts)
{
    stream_t* s = stream_memopen(nullptr, 0);
    EXPECT_EQ(stream_printf(s, "%d-%s", 42, "x"), 0);
    std::string big(10000, 'q');
    EXPECT_EQ(stream_printf(s, "[%s]", big.c_str()), 0);  // longer than the format buffer
    EXPECT_EQ(stream_puts(s, "end"), 0);
    std::string got(reinterpret_cast<char*>(stream_memdata(s)), stream_memlength(s));
    EXPECT_EQ(got, "42-x[" + big + "]end");
    stream_close(s);
}

TEST(StreamFile, NamedFilesAndModes)
{
    testutil::TempDir dir;
    ASSERT_TRUE(dir.ok());
    std::string name = dir.file("f.bin");
    auto data = pattern(20000);

    EXPECT_EQ(stream_fopen(name.c_str(), "rb"), nullptr);  // missing file
    EXPECT_EQ(stream_fopen(name.c_str(), ""), nullptr);
    EXPECT_EQ(stream_fopen(nullptr, "r"), nullptr);

    stream_t* s = stream_fopen(name.c_str(), "wb");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_write(s, data.data(), data.size()), int64_t(data.size()));
    EXPECT_EQ(stream_getc(s), -1);  // not open for reading
    EXPECT_EQ(stream_close(s), 0);

    s = stream_fopen(name.c_str(), "ab");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_putc(s, 0x5a), 0x5a);
    EXPECT_EQ(stream_close(s), 0);

    s = stream_fopen(name.c_str(), "rb");
    ASSERT_NE(s, nullptr);
    std::vector<unsigned char> back(data.size() + 10);
    EXPECT_EQ(stream_read(s, back.data(), back.size()), int64_t(data.size()) + 1);
    EXPECT_TRUE(stream_eof(s));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
    EXPECT_EQ(back[data.size()], 0x5a);
    EXPECT_EQ(stream_putc(s, 1), -1);  // not open for writing
    EXPECT_EQ(stream_close(s), 0);

    // A descriptor stream closes its descriptor.
    int fd = ::open(name.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    s = stream_fdopen(fd, "r");
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_getc(s), data[0]);
    EXPECT_EQ(stream_close(s), 0);
    EXPECT_EQ(::close(fd), -1);
    EXPECT_EQ(stream_fdopen(-1, "r"), nullptr);
}

TEST(StreamFile, TemporaryFileHoldsLargeOffsets)
{
    // Past 4 GiB in a sparse file, where 32-bit positions would wrap.
    stream_t* s = stream_tmpfile();
    ASSERT_NE(s, nullptr);
    const int64_t far = (int64_t(5) << 30) + 123;
    EXPECT_EQ(stream_seek(s, far, SEEK_SET), far);
    EXPECT_EQ(stream_putc(s, 0x42), 0x42);
    EXPECT_EQ(stream_tell(s), far + 1);
    EXPECT_EQ(stream_seek(s, -1, SEEK_CUR), far);
    EXPECT_EQ(stream_getc(s), 0x42);
    EXPECT_EQ(stream_tell(s), far + 1);
    EXPECT_EQ(stream_seek(s, 0, SEEK_END), far + 1);
    EXPECT_EQ(stream_getrwcount(s), 2);
    EXPECT_EQ(stream_close(s), 0);
}

// A device that counts calls and can be told to refuse transfers.
struct fakedev_t {
    std::vector<unsigned char> data;
    int64_t pos = 0;
    int reads = 0, closes = 0;
    bool refuse = false;
};

int64_t fake_read(void* obj, unsigned char* buf, int64_t cnt)
{
    auto* d = static_cast<fakedev_t*>(obj);
    ++d->reads;
    // Read-exactly: fewer bytes than asked is reported as nothing.
    if (d->refuse || d->pos + cnt > int64_t(d->data.size()))
        return 0;
    std::memcpy(buf, d->data.data() + d->pos, cnt);
    d->pos += cnt;
    return cnt;
}

int64_t fake_write(void* obj, const unsigned char* buf, int64_t cnt)
{
    auto* d = static_cast<fakedev_t*>(obj);
    if (d->refuse)
        return 0;
    d->data.insert(d->data.end(), buf, buf + cnt);
    d->pos += cnt;
    return cnt;
}

int64_t fake_seek(void* obj, int64_t offset, int origin)
{
    auto* d = static_cast<fakedev_t*>(obj);
    int64_t base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? d->pos : int64_t(d->data.size());
    if (base + offset < 0)
        return -1;
    d->pos = base + offset;
    return d->pos;
}

int fake_close(void* obj)
{
    ++static_cast<fakedev_t*>(obj)->closes;
    return 0;
}

const stream_ops_t fake_ops = {fake_read, fake_write, fake_seek, fake_close};

TEST(StreamCustom, UnbufferedDeviceAndFailures)
{
    EXPECT_EQ(stream_create(nullptr, nullptr, STREAM_READ), nullptr);

    fakedev_t dev;
    dev.data = {0xff, 0x4f, 0xff, 0x51};
    stream_t* s = stream_create(&fake_ops, &dev, STREAM_READ | STREAM_BINARY);
    ASSERT_NE(s, nullptr);
    // Signature check: read two bytes, put both back, read them again.
    EXPECT_EQ(stream_getc(s), 0xff);
    EXPECT_EQ(stream_getc(s), 0x4f);
    EXPECT_EQ(stream_ungetc(s, 0x4f), 0);
    EXPECT_EQ(stream_ungetc(s, 0xff), 0);
    EXPECT_EQ(stream_tell(s), 0);
    unsigned char buf[8];
    EXPECT_EQ(stream_read(s, buf, 8), 4);
    EXPECT_EQ(dev.reads, 5);  // one device call per byte, then the end
    EXPECT_TRUE(stream_eof(s));
    stream_destroy(s);
    EXPECT_EQ(dev.closes, 0);

    // Writes reach the device one byte per call; a refusing device is an
    // error, and a close that cannot write out its data reports it.
    fakedev_t out;
    s = stream_create(&fake_ops, &out, STREAM_WRITE | STREAM_BINARY);
    EXPECT_EQ(stream_write(s, "abc", 3), 3);
    EXPECT_EQ(stream_tell(s), 3);
    EXPECT_EQ(stream_flush(s), 0);
    EXPECT_EQ(std::string(out.data.begin(), out.data.end()), "abc");
    out.refuse = true;
    EXPECT_EQ(stream_write(s, "de", 2), 1);  // the second put meets the error
    EXPECT_TRUE(stream_error(s));
    EXPECT_EQ(stream_close(s), -1);
    EXPECT_EQ(out.closes, 1);
}

}  // namespace
