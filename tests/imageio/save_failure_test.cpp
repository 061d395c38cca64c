// Saves that fail part-way or cannot start: a disk that fills up during the
// write (simulated with a file size limit) and a folder that cannot be
// written.  Each reports the error, leaves the earlier file of the name as
// it was and leaves no temporary file behind.
#include "Exceptions.h"
#include "Jpeg2000_io.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

namespace {

// Noise compresses badly: the code stream is far larger than the limits
// below.
QImage noise_picture(int w, int h)
{
    QImage img(w, h, QImage::Format_BGR888);
    uint32_t v = 2463534242u;
    for (int y = 0; y < h; ++y) {
        uchar* p = img.scanLine(y);
        for (int x = 0; x < 3 * w; ++x) {
            v ^= v << 13;
            v ^= v >> 17;
            v ^= v << 5;
            p[x] = uchar(v);
        }
    }
    return img;
}

QStringList folder_entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

QByteArray content(const QString& path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void write_earlier(const QString& path)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("earlier content");
}

// Files of this process may grow to `bytes` while the object lives; a
// write beyond fails (EFBIG) as on a full disk, instead of raising SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit lim{bytes, old_.rlim_max};
        ok_ = setrlimit(RLIMIT_FSIZE, &lim) == 0;
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }
    bool ok() const { return ok_; }

private:
    rlimit old_{};
    void (*old_handler_)(int) = nullptr;
    bool ok_ = false;
};

TEST(SaveFailure, DiskFullDuringTheWriteKeepsTheEarlierFile)
{
    QTemporaryDir dir;
    const QString target = dir.filePath("picture.jp2");
    write_earlier(target);
    QImage picture = noise_picture(160, 120);
    TJPEG2000_IO jp2;
    jp2.SetQuality(100);
    jp2.SetAttachedBitmap(&picture);
    for (rlim_t limit : {rlim_t(0), rlim_t(1000), rlim_t(20000)}) {
        SCOPED_TRACE(limit);
        bool raised = false;
        {
            FileSizeLimit full(limit);
            ASSERT_TRUE(full.ok());
            try {
                jp2.SaveToFile(target);
            } catch (const Exception&) {
                raised = true;
            }
        }
        EXPECT_TRUE(raised);
        EXPECT_EQ(content(target), "earlier content");
        EXPECT_EQ(folder_entries(dir.path()), QStringList{"picture.jp2"});
    }
    // With room again the same save goes through.
    EXPECT_GT(jp2.SaveToFile(target), 20000);
    EXPECT_EQ(content(target).left(2), QByteArray("\xff\x4f"));
    EXPECT_EQ(folder_entries(dir.path()), QStringList{"picture.jp2"});
}

TEST(SaveFailure, FolderThatCannotBeWrittenIsReported)
{
    QTemporaryDir dir;
    QImage picture = noise_picture(16, 16);
    TJPEG2000_IO jp2;
    jp2.SetAttachedBitmap(&picture);

    // A folder that does not exist.
    const QString missing = dir.filePath("no/such/folder/picture.jp2");
    EXPECT_THROW(jp2.SaveToFile(missing), EFCreateError);
    EXPECT_EQ(folder_entries(dir.path()), QStringList{});

    // A folder on a file system that nobody can write.
    if (QDir("/proc").exists()) {
        EXPECT_THROW(jp2.SaveToFile("/proc/picture.jp2"), EFCreateError);
    }

    // A read-only folder holding an earlier file (the super-user writes
    // anyway: then only the cases above are checked).
    const QString target = dir.filePath("picture.jp2");
    write_earlier(target);
    ASSERT_EQ(chmod(QFile::encodeName(dir.path()).constData(), 0555), 0);
    if (access(QFile::encodeName(dir.path()).constData(), W_OK) == 0) {
        chmod(QFile::encodeName(dir.path()).constData(), 0755);
        GTEST_SKIP() << "folder permissions do not bind this user";
    }
    EXPECT_THROW(jp2.SaveToFile(target), EFCreateError);
    chmod(QFile::encodeName(dir.path()).constData(), 0755);
    EXPECT_EQ(content(target), "earlier content");
    EXPECT_EQ(folder_entries(dir.path()), QStringList{"picture.jp2"});
}

}  // namespace
