// One Compress of a photo through the main window (offscreen), against the
// same encode and decode through the jp2c tool.  Prints the best of a few
// runs of each, and the longest time the gauge stood still during a
// Compress (a timer samples it whenever the window processes its events).
//   window_compress_bench [PICTURE] [RUNS] [ht]
// With ht, the window's "HTJ2K (fast)" box is ticked for the runs (and
// cleared again after them) and jp2c gets --ht.
#include "Main.h"
#include "UserDialogs.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
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
    // The box's state is remembered: it is put back afterwards.
    const bool washt = window.HTJ2K->isChecked();
    if (washt != ht)
        window.HTJ2K->click();
    qint64 bestWindow = -1, bestTool = -1, stall = 0;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t, still;
        int last = window.ProgressBar1->Progress();
        QTimer probe;
        QObject::connect(&probe, &QTimer::timeout, [&] {
            const int v = window.ProgressBar1->Progress();
            if (v != last) {
                stall = std::max(stall, still.elapsed());
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
    if (window.HTJ2K->isChecked() != washt)
        window.HTJ2K->click();
    std::printf("coder: %s\n", ht ? "HT" : "bit-plane");
    std::printf("picture: %s (%d x %d)\n", qPrintable(picture), window.FSource.width(), window.FSource.height());
    std::printf("window Compress:     %lld ms (%s, %s)\n", static_cast<long long>(bestWindow),
                qPrintable(window.CSize->text()), qPrintable(window.Ratio->text()));
    std::printf("gauge still at most: %lld ms\n", static_cast<long long>(stall));
    std::printf("jp2c encode+decode: %lld ms\n", static_cast<long long>(bestTool));
    std::printf("ratio window/jp2c:  %.3f\n", double(bestWindow) / double(bestTool));
    return 0;
}
