// One Compress of a photo through the main window (offscreen), against the
// same encode and decode through the jp2c tool.  Prints the best of a few
// runs of each, and the longest time the gauge stood still during a
// Compress (a timer samples it whenever the window processes its events).
//   window_compress_bench [PICTURE] [RUNS] [ht]
// With ht, the window's "HTJ2K (fast)" box is ticked for the runs (and
// cleared again after them) and jp2c gets --ht.
#include "Main.h"
#include "UserDialogs.h"
#include "Image_io.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

namespace {

class TOpenOne : public TUserDialogs {
public:
    QStringList Files;
    QStringList OpenPictures(QWidget*, const QString&, const QString&) override { return Files; }
    bool AskYesNo(QWidget*, const QString&, const QString&) override { return false; }
    QString SavePicture(QWidget*, const QString&, const QString&, const QString&, const QString&) override
    {
        return {};
    }
    void Warn(QWidget*, const QString&, const QString& Text) override
    {
        std::fprintf(stderr, "%s\n", qPrintable(Text));
    }
};

bool Run(const QStringList& Args)
{
    QProcess p;
    p.start(QStringLiteral(JP2C_PATH), Args);
    return p.waitForFinished(-1) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const QString picture = argc > 1 ? QString::fromLocal8Bit(argv[1])
                                     : QStringLiteral(JP2_TESTDATA "/photos/forest.jpg");
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 3;
    const bool ht = argc > 3 && QString::fromLocal8Bit(argv[3]) == QStringLiteral("ht");
    QTemporaryDir dir;

    TOpenOne dialogs;
    dialogs.Files = {picture};
    TMainF window;
    window.SetDialogs(&dialogs);
    window.show();
    window.Button6->click();
    if (window.FList.isEmpty()) {
        std::fprintf(stderr, "cannot load %s\n", qPrintable(picture));
        return 1;
    }
    // The panes paint the picture before the first Compress, as the user
    // sees it before pressing the button.
    for (int i = 0; i < 5; ++i) QApplication::processEvents();
    // The box's state is remembered: it is put back afterwards.
    const bool washt = window.HTJ2K->isChecked();
    if (washt != ht)
        window.HTJ2K->click();
    qint64 bestWindow = -1, bestTool = -1, stall = 0;
    int stallFrom = 0, stallTo = 0;  // the gauge values around the longest stall
    qint64 figures = 0;              // the longest wait for the figures after a Compress
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t, still;
        int last = window.ProgressBar1->Permille();
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const int v = window.ProgressBar1->Permille();
            if (v != last) {
                if (still.elapsed() > stall) {
                    stall = still.elapsed();
                    stallFrom = last;
                    stallTo = v;
                }
                last = v;
                still.restart();
            }
        });
        probe.start(5);
        t.start();
        still.start();
        window.Button2Click();
        const qint64 ms = t.elapsed();
        probe.stop();
        // The figures come from a worker thread after the picture.
        QElapsedTimer f;
        f.start();
        while (window.Psnr->text().isEmpty() && f.elapsed() < 10000) {
            QApplication::processEvents();
            QThread::msleep(1);
        }
        figures = std::max(figures, f.elapsed());
        if (bestWindow < 0 || ms < bestWindow) bestWindow = ms;

        const QString jp2 = dir.filePath(QStringLiteral("bench.jp2"));
        const QString bmp = dir.filePath(QStringLiteral("bench.bmp"));
        t.restart();
        QStringList encode{"encode", picture, jp2, "--quality", "20"};
        if (ht)
            encode << QStringLiteral("--ht");
        if (!Run(encode) || !Run({"decode", jp2, bmp})) {
            std::fprintf(stderr, "jp2c failed\n");
            return 1;
        }
        const qint64 tool = t.elapsed();
        if (bestTool < 0 || tool < bestTool) bestTool = tool;
    }
    // Cancel latency: a Cancel as the gauge reaches each mark, and the time
    // until the window is idle again.
    std::printf("cancel at gauge %%:  ");
    qint64 worstCancel = 0;
    for (const int mark : {1, 4, 6, 10, 14, 16, 18, 22, 30, 36, 40, 46, 52, 58, 70, 80, 82, 86, 92, 97}) {
        QElapsedTimer since;
        bool sent = false;
        window.FIO->SetOnProgress([&](TImage_IO* s, int32_t p) {
            window.kveProgress(s, p);
            if (!sent && window.ProgressBar1->Progress() >= mark) {
                sent = true;
                since.start();
                window.Button4Click();
            }
        });
        window.TrackBar1->setValue(window.TrackBar1->value() == 200 ? 201 : 200);  // a fresh Compress
        window.Button2Click();
        const qint64 ms = sent ? since.elapsed() : -1;
        worstCancel = std::max(worstCancel, ms);
        std::printf(" %d:%lld", mark, static_cast<long long>(ms));
    }
    window.FIO->SetOnProgress([&](TImage_IO* s, int32_t p) { window.kveProgress(s, p); });
    std::printf(" ms\ncancel at most:     %lld ms\n", static_cast<long long>(worstCancel));
    if (window.HTJ2K->isChecked() != washt)
        window.HTJ2K->click();
    std::printf("coder: %s\n", ht ? "HT" : "bit-plane");
    std::printf("picture: %s (%d x %d)\n", qPrintable(picture), window.FSource.width(), window.FSource.height());
    std::printf("window Compress:     %lld ms (%s, %s)\n", static_cast<long long>(bestWindow),
                qPrintable(window.CSize->text()), qPrintable(window.Ratio->text()));
    std::printf("gauge still at most: %lld ms (from %.1f%% to %.1f%%)\n", static_cast<long long>(stall),
                stallFrom / 10.0, stallTo / 10.0);
    std::printf("figures after:       %lld ms\n", static_cast<long long>(figures));
    std::printf("jp2c encode+decode: %lld ms\n", static_cast<long long>(bestTool));
    std::printf("ratio window/jp2c:  %.3f\n", double(bestWindow) / double(bestTool));
    return 0;
}
