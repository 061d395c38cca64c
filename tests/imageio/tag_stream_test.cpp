// The host-stream adapter and the exact-transfer helpers beneath it.
#include "Exceptions.h"
#include "HostStream.h"
#include "Tag_stream.h"

#include <QBuffer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(HostStream, ExactTransfersRaiseOnShortOnes)
{
    QByteArray data("abcd");
    QBuffer buffer(&data);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    char out[10];
    HostReadBuffer(&buffer, out, 2);
    EXPECT_EQ(QByteArray(out, 2), "ab");
    EXPECT_THROW(HostReadBuffer(&buffer, out, 10), EReadError);
    EXPECT_THROW(HostWriteBuffer(&buffer, "x", 1), EWriteError);  // opened for reading only
    EXPECT_EQ(HostSeek(&buffer, -1, 2), 3);
    EXPECT_EQ(HostSeek(&buffer, -1, 1), 2);
    EXPECT_EQ(HostSeek(&buffer, -3, 1), -1);
    EXPECT_EQ(HostPosition(&buffer), 2);

    QTemporaryDir dir;
    const QString missing = dir.filePath("missing.bin");
    try {
        HostOpenFile(missing);
        FAIL() << "no exception";
    } catch (const EFOpenError& e) {
        EXPECT_TRUE(e.Message().startsWith("Cannot open file \"" + missing + "\"")) << e.what();
        EXPECT_EQ(e.FileName(), missing);
    }
    const QString inMissingDir = dir.filePath("no/such/dir.bin");
    try {
        HostCreateFile(inMissingDir);
        FAIL() << "no exception";
    } catch (const EFCreateError& e) {
        EXPECT_TRUE(e.Message().startsWith("Cannot create file \"" + inMissingDir + "\"")) << e.what();
    }
}

TEST(TagStream, ReadsExactlyOrNothing)
{
    QByteArray data("0123456789ABCD");
    QBuffer buffer(&data);
    ASSERT_TRUE(buffer.open(QIODevice::ReadOnly));
    buffer.seek(10);
    unsigned char out[16];
    // Only 4 bytes remain: a read of 10 gives 0, not 4.
    EXPECT_EQ(TagStreamOps.read_(&buffer, out, 10), 0);
    buffer.seek(10);
    EXPECT_EQ(TagStreamOps.read_(&buffer, out, 4), 4);
    EXPECT_EQ(TagStreamOps.seek_(&buffer, 0, 2), data.size());
    EXPECT_EQ(TagStreamOps.seek_(&buffer, 3, 0), 3);
    EXPECT_EQ(TagStreamOps.seek_(&buffer, -4, 0), -1);

    // Through a codec stream: bytes from the host's position, put-back of
    // two bytes, end of data at the host's end.
    buffer.seek(12);
    stream_t* s = TagStreamCreate(&buffer, STREAM_READ | STREAM_BINARY);
    ASSERT_NE(s, nullptr);
    const int c0 = stream_getc(s);
    const int c1 = stream_getc(s);
    EXPECT_EQ(c0, 'C');
    EXPECT_EQ(c1, 'D');
    EXPECT_EQ(buffer.pos(), 14);  // nothing read ahead
    EXPECT_EQ(stream_ungetc(s, c1), 0);
    EXPECT_EQ(stream_ungetc(s, c0), 0);
    EXPECT_EQ(stream_getc(s), 'C');
    EXPECT_EQ(stream_getc(s), 'D');
    EXPECT_EQ(stream_getc(s), -1);
    EXPECT_TRUE(stream_eof(s));
    TagStreamRelease(s);
    TagStreamRelease(nullptr);
    EXPECT_TRUE(buffer.isOpen());
    EXPECT_EQ(TagStreamCreate(nullptr, STREAM_READ), nullptr);
}

TEST(TagStream, RefusedWritesAreErrorsAndCloseLeavesHostOpen)
{
    QByteArray data;
    QBuffer readOnly(&data);
    ASSERT_TRUE(readOnly.open(QIODevice::ReadOnly));
    EXPECT_EQ(TagStreamOps.write_(&readOnly, reinterpret_cast<const unsigned char*>("ab"), 2), 0);
    stream_t* s = TagStreamCreate(&readOnly, STREAM_WRITE | STREAM_BINARY);
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < 3 * STREAM_BUFSIZE; ++i)
        stream_putc(s, 'x');
    EXPECT_EQ(stream_flush(s), -1);
    EXPECT_TRUE(stream_error(s));
    EXPECT_EQ(stream_close(s), -1);
    EXPECT_TRUE(readOnly.isOpen());

    QByteArray out;
    QBuffer host(&out);
    ASSERT_TRUE(host.open(QIODevice::ReadWrite));
    host.write("head");
    s = TagStreamCreate(&host, STREAM_WRITE | STREAM_BINARY);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(stream_write(s, "0123456789", 10), 10);
    EXPECT_EQ(stream_tell(s), 14);
    EXPECT_EQ(stream_close(s), 0);  // flushes; the host stays open and usable
    EXPECT_TRUE(host.isOpen());
    EXPECT_EQ(out, "head0123456789");
    host.write("!");
    EXPECT_EQ(out, "head0123456789!");
}

} // namespace
