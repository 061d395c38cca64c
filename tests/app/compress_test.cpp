// The compress-and-compare workflow driven through the window: Compress
// against the command-line tool, Cancel, the gauge, Save As, Save All and
// the preview window.
#include "Image_io.h"
#include "Main.h"
#include "Preview.h"
#include "app_test_util.h"

#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Runs jp2c; returns its standard output ("" when it failed).
QString Jp2c(const QStringList& Args)
{
    QProcess p;
    p.start(QStringLiteral(JP2C_PATH), Args);
    p.waitForFinished(600000);
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) return {};
    return QString::fromUtf8(p.readAllStandardOutput());
}

QString Line(const QString& Output, const QString& Prefix)
{
    for (const QString& l : Output.split(QLatin1Char('\n')))
        if (l.startsWith(Prefix)) return l.trimmed();
    return {};
}

QByteArray Contents(const QString& Path)
{
    QFile f(Path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The temporary files of Compress currently in the temporary folder.
QStringList CompressTempFiles()
{
    return QDir(QDir::tempPath()).entryList({QStringLiteral("jp2c*.tmp")}, QDir::Files);
}

}  // namespace

class CompressTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    TTestDialogs FDialogs;

    QString Photo(const QString& Name, const QString& As = {})
    {
        const QString to = FDir.filePath(As.isEmpty() ? Name : As);
        QDir().mkpath(QFileInfo(to).path());
        if (!QFile::exists(to)) QFile::copy(QStringLiteral(JP2_TESTDATA "/photos/") + Name, to);
        return to;
    }
    std::unique_ptr<TMainF> NewWindow(const QStringList& Files)
    {
        auto w = std::make_unique<TMainF>();
        w->SetDialogs(&FDialogs);
        w->Pre = new TPre(w.get());
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) qWarning("window not exposed");
        FDialogs.OpenResult = Files;
        w->Button6->click();
        return w;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(FDir.isValid());
        IsolateSettings(FDir.filePath(QStringLiteral("settings")));
    }
    void init() { QSettings().clear(); }

    void CompressGivesWhatTheToolGives()
    {
        const QStringList before = CompressTempFiles();
        for (const QString name : {"rome.bmp", "cevennes.jpg", "bretagne.bmp", "forest.jpg"}) {
            const QString src = Photo(name);
            auto w = NewWindow({src});
            w->SpeedButton1->click();
            w->Button2->click();
            QVERIFY(!w->FBusy && w->Button2->isEnabled() && !w->Button4->isEnabled());
            QCOMPARE(w->ProgressBar1->Progress(), 0);
            const QString jp2 = FDir.filePath(QStringLiteral("tool.jp2"));
            const QString out = Jp2c({"encode", src, jp2, "--quality", "20"});
            QVERIFY2(!out.isEmpty(), qPrintable(name));
            QCOMPARE(w->CSize->text(), Line(out, "Size:").mid(6));
            QCOMPARE(w->Ratio->text(), Line(out, "Ratio:"));
            const QString bmp = FDir.filePath(QStringLiteral("tool.bmp"));
            QVERIFY(!Jp2c({"decode", jp2, bmp}).isEmpty());
            const QImage decoded = QImage(bmp).convertToFormat(QImage::Format_BGR888);
            QCOMPARE(w->Image2->Picture().convertToFormat(QImage::Format_BGR888), decoded);
            QVERIFY(w->FRightCurrent);
            QCOMPARE(w->Image2->geometry(), w->Image1->geometry());
            if (QString(name) == "rome.bmp") SaveScreenshot(w.get(), QStringLiteral("06-after-compress"));
        }
        QCOMPARE(CompressTempFiles(), before);  // no temporary file left
        QVERIFY(!QGuiApplication::overrideCursor());
    }

    void CancelDuringEncodingSkipsDecoding()
    {
        const QStringList before = CompressTempFiles();
        auto w = NewWindow({Photo("bretagne.bmp")});
        TMainF* win = w.get();
        int reports = 0;
        win->FIO->SetOnProgress([win, &reports](TImage_IO* s, int32_t p) {
            win->kveProgress(s, p);
            QVERIFY(win->ProgressBar1->Progress() <= 50 || !win->FEncoding);
            if (win->FEncoding && reports == 1) {
                // Exit and the close box do nothing while Compress runs.
                win->Button1Click();
                QVERIFY(!win->close());
                QVERIFY(win->isVisible());
            }
            if (win->FEncoding && ++reports == 3) {
                QVERIFY(win->Button4->isEnabled());
                win->Button4->click();
            }
        });
        w->Button2->click();
        QVERIFY(reports >= 3);
        QCOMPARE(w->Image2->Picture().convertToFormat(QImage::Format_BGR888),
                 w->FSource.convertToFormat(QImage::Format_BGR888));
        QCOMPARE(w->ProgressBar1->Progress(), 0);
        QVERIFY(w->Button2->isEnabled() && !w->Button4->isEnabled() && !w->FBusy);
        QCOMPARE(CompressTempFiles(), before);
    }

    void FailedSaveCleansUp()
    {
        auto w = NewWindow({Photo("rome.bmp")});
        const QString ratio = w->Ratio->text(), size = w->CSize->text();
        const QByteArray tmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(FDir.filePath("no/such/folder")));
        bool raised = false;
        try {
            w->Button2Click();
        } catch (const std::exception&) {
            raised = true;
        }
        qputenv("TMPDIR", tmp);
        QVERIFY(raised);
        QVERIFY(!QGuiApplication::overrideCursor());
        QVERIFY(!w->FBusy && w->Button2->isEnabled() && !w->Button4->isEnabled() && w->Button6->isEnabled());
        QCOMPARE(w->Ratio->text(), ratio);
        QCOMPARE(w->CSize->text(), size);
        QCOMPARE(w->ProgressBar1->Progress(), 0);
    }

    void GaugeMappingsAndSlider()
    {
        auto w = NewWindow({});
        w->FSaving = true;
        w->kveProgress(w->FIO, 77);
        QCOMPARE(w->ProgressBar1->Progress(), 77);
        w->FSaving = false;
        w->FEncoding = true;
        w->kveProgress(w->FIO, 77);
        QCOMPARE(w->ProgressBar1->Progress(), 38);
        w->FEncoding = false;
        w->kveProgress(w->FIO, 77);
        QCOMPARE(w->ProgressBar1->Progress(), 88);
        w->TrackBar1->setValue(1);
        QCOMPARE(w->QL->text(), QStringLiteral("0.1"));
        QCOMPARE(w->FIO->Quality(), 0.1);
        w->TrackBar1->setValue(555);
        QCOMPARE(w->QL->text(), QStringLiteral("55.5"));
        w->TrackBar1->setValue(1000);
        QCOMPARE(w->QL->text(), QStringLiteral("100.0"));

        // With an empty list (after a cancelled dialog) Compress and Save As
        // stay off; their handlers change nothing and show no dialog.
        QVERIFY(!w->Button2->isEnabled() && !w->Button3->isEnabled());
        w->Button2Click();
        QCOMPARE(w->Ratio->text(), QString());
        QCOMPARE(w->CSize->text(), QString());
        QCOMPARE(w->Image2->Picture(), w->ILogo->Picture());
        QVERIFY(!w->FBusy);
        const int dialogs = FDialogs.SaveDialogs;
        w->Button3Click();
        QCOMPARE(FDialogs.SaveDialogs, dialogs);
        QVERIFY(!w->Button3->isEnabled() && !w->Button2->isEnabled());
    }

    void SaveAsWritesWhatTheToolWrites()
    {
        const QString src = Photo("rome.bmp", "saveas/photo.bmp");
        auto w = NewWindow({src});
        const QString out = FDir.filePath("saveas/chosen.jp2");
        FDialogs.SaveResult = QString();
        w->Button3->click();  // cancelled: nothing written
        QCOMPARE(FDialogs.LastSaveName, FDir.filePath("saveas/photo.jp2"));
        QCOMPARE(FDialogs.LastSaveSuffix, QStringLiteral("jp2"));
        QVERIFY(!QFile::exists(out));
        FDialogs.SaveResult = out;
        w->Button3->click();
        const QString tool = FDir.filePath("saveas/tool.jp2");
        QVERIFY(!Jp2c({"encode", src, tool, "--quality", "20"}).isEmpty());
        QVERIFY(!Contents(out).isEmpty());
        QCOMPARE(Contents(out), Contents(tool));
        QVERIFY(!w->FBusy && w->Button3->isEnabled());
        FDialogs.SaveResult.clear();
    }

    void SaveAllWritesBesideEachSource()
    {
        const QString x = Photo("cevennes.jpg", "all/a/x.jpg");
        const QString y = Photo("rome.bmp", "all/a/y.bmp");
        const QString z = Photo("cevennes.jpg", "all/b/z.jpeg");
        auto w = NewWindow({x, y, z});
        FDialogs.Captions.clear();
        FDialogs.Answer = false;  // "Save All Warning": No changes nothing
        w->Button5->click();
        QCOMPARE(FDialogs.Captions, QStringList{"Save All Warning"});
        QVERIFY(!QFile::exists(FDir.filePath("all/a/x.jp2")));

        FDialogs.Answer = true;
        int answers = 0;
        // Yes to the warning, No to closing the pictures afterwards.
        struct TSequence : TTestDialogs {
            TTestDialogs* Base;
            int* Count;
            bool AskYesNo(QWidget* p, const QString& c, const QString& t) override
            {
                Base->AskYesNo(p, c, t);
                return (*Count)++ == 0;
            }
        } seq;
        seq.Base = &FDialogs;
        seq.Count = &answers;
        w->SetDialogs(&seq);
        FDialogs.Captions.clear();
        w->Button5->click();
        QCOMPARE(FDialogs.Captions, (QStringList{"Save All Warning", "Confirmation"}));
        QCOMPARE(seq.SaveDialogs, 0);
        for (const char* out : {"all/a/x.jp2", "all/a/y.jp2", "all/b/z.jp2"})
            QVERIFY2(QFile::exists(FDir.filePath(out)), out);
        QVERIFY(Contents(FDir.filePath("all/a/y.jp2")) == [&] {
            const QString tool = FDir.filePath("all/tool.jp2");
            Jp2c({"encode", y, tool, "--quality", "20"});
            return Contents(tool);
        }());
        QCOMPARE(w->FIndex, 2);
        QCOMPARE(w->StatusBar1->currentMessage(), z);
        QVERIFY(!w->Next->isEnabled() && w->Prev->isEnabled());
        QCOMPARE(w->FList.size(), 3);
        QVERIFY(!w->FBusy && w->Button5->isEnabled() && !w->Button4->isEnabled());
        w->SetDialogs(&FDialogs);
    }

    void CancelInSaveAllStopsBeforeTheNextPicture()
    {
        QStringList files;
        for (int i = 0; i < 5; ++i) files << Photo("cevennes.jpg", QStringLiteral("cancel/p%1.jpg").arg(i));
        auto w = NewWindow(files);
        TMainF* win = w.get();
        win->FIO->SetOnProgress([win](TImage_IO* s, int32_t p) {
            win->kveProgress(s, p);
            if (win->FSaving && win->FIndex == 1 && win->Button4->isEnabled()) win->Button4->click();
        });
        FDialogs.Answer = true;  // continue; then Yes to closing? No: keep
        struct TYesThenNo : TTestDialogs {
            int n = 0;
            bool AskYesNo(QWidget*, const QString&, const QString&) override { return n++ == 0; }
        } answers;
        w->SetDialogs(&answers);
        w->Button5->click();
        QVERIFY(QFile::exists(FDir.filePath("cancel/p0.jp2")));
        QVERIFY(!QFile::exists(FDir.filePath("cancel/p2.jp2")));
        QCOMPARE(w->FIndex, 1);
        QCOMPARE(w->StatusBar1->currentMessage(), files[1]);
        QVERIFY(w->Prev->isEnabled() && w->Next->isEnabled());
        QVERIFY(!w->FCancel && !w->FBusy);
        w->SetDialogs(&FDialogs);
    }

    void SaveAsWritesWhatWasJudged()
    {
        // Save As right after a Compress writes the very bytes Compress made
        // (no second encode); after a Compress at another quality it encodes
        // the picture as loaded, never the decoded result.
        const QString src = Photo("bretagne.bmp", "judged/photo.bmp");
        const QString tool = FDir.filePath("judged/tool.jp2");
        QVERIFY(!Jp2c({"encode", src, tool, "--quality", "20"}).isEmpty());
        auto w = NewWindow({src});
        int reports = 0;
        TMainF* win = w.get();
        win->FIO->SetOnProgress([win, &reports](TImage_IO* s, int32_t p) {
            ++reports;
            win->kveProgress(s, p);
        });
        const QString out = FDir.filePath("judged/out.jp2");
        FDialogs.SaveResult = out;
        w->Button2->click();
        reports = 0;
        w->Button3->click();
        QCOMPARE(reports, 0);
        QCOMPARE(Contents(out), Contents(tool));

        w->TrackBar1->setValue(1);  // 0.1, then back to 20
        w->Button2->click();
        w->TrackBar1->setValue(200);
        QFile::remove(out);
        w->Button3->click();
        QVERIFY(reports > 0);
        QCOMPARE(Contents(out), Contents(tool));
        FDialogs.SaveResult.clear();
    }

    void LabelsDescribeTheCurrentPicture()
    {
        auto w = NewWindow({Photo("rome.bmp"), Photo("bretagne.bmp")});
        w->Button2->click();
        QVERIFY(w->Ratio->text().startsWith("Ratio: 1/"));
        w->Next->click();  // another picture: no ratio yet
        QCOMPARE(w->Ratio->text(), QString());
        QCOMPARE(w->CSize->text(), w->OSize->text());
        w->Button2->click();
        FDialogs.Answer = true;
        w->Button7->click();  // Clear: nothing to describe
        QCOMPARE(w->Ratio->text(), QString());
        QCOMPARE(w->OSize->text(), QString());
        QCOMPARE(w->CSize->text(), QString());
        FDialogs.Answer = false;
    }

    void CompressKeepsTheWindowAlive()
    {
        // While the codec works the gauge moves with tier-1, the window
        // repaints, and the slider and Clear are off.  A Cancel in either
        // half stops the codec at its next report and leaves labels and the
        // right pane as the last completed Compress left them.
        const QString src = MakeBitmapFile(FDir.filePath("alive.bmp"), 1600, 1200);
        auto w = NewWindow({src});
        TMainF* win = w.get();
        w->Button2->click();
        const QString size = w->CSize->text();

        struct TPaints : QObject {
            int Count = 0;
            bool eventFilter(QObject*, QEvent* e) override
            {
                Count += e->type() == QEvent::Paint;
                return false;
            }
        } paints;
        w->ProgressBar1->installEventFilter(&paints);
        // Gauge values inside the long stages: tier-1 (encoder 38 to 70),
        // the copy into the codec (0 to 10), the wavelet transform (30 to
        // 34), the inverse transform (decoder 60 to 65) and the copy out of
        // it (90 to 100).
        QSet<int> tier1, copyIn, wavelet, inverse, copyOut;
        int waveletReports = 0;  // not only between components: after its passes
        bool controlsOff = true, shot = false;
        win->FIO->SetOnProgress([&](TImage_IO* s, int32_t p) {
            win->kveProgress(s, p);
            controlsOff = controlsOff && !win->TrackBar1->isEnabled() && !win->Button7->isEnabled();
            const int g = win->ProgressBar1->Progress();
            if (win->FEncoding && p > 30 && p < 70) tier1 << g;
            waveletReports += win->FEncoding && p >= 30 && p < 34;
            if (QSet<int>* stage = win->FEncoding ? (p < 10 ? &copyIn : p >= 30 && p < 34 ? &wavelet : nullptr)
                                                  : (p >= 60 && p < 65 ? &inverse : p >= 90 && p < 100 ? &copyOut : nullptr))
                *stage << g;
            if (!shot && win->FEncoding && p >= 50) {
                shot = true;
                SaveScreenshot(win, QStringLiteral("09-gauge-mid-compress"));
            }
        });
        w->TrackBar1->setValue(300);
        w->Button2->click();
        QVERIFY(controlsOff);
        QVERIFY(w->TrackBar1->isEnabled() && w->Button7->isEnabled());
        // How many reports tier-1 gets to make depends on the machine's load:
        // several distinct values show that the gauge moves with it.
        QVERIFY2(tier1.size() >= 5, qPrintable(QString::number(tier1.size())));
        // The reports inside the other long stages do not depend on the
        // load: the gauge moves within each of them.
        QVERIFY2(copyIn.size() >= 4 && wavelet.size() >= 2 && waveletReports >= 8 && inverse.size() >= 2 &&
                     copyOut.size() >= 4,
                 qPrintable(QStringLiteral("%1 %2 %3 %4 %5").arg(copyIn.size()).arg(wavelet.size())
                                .arg(waveletReports).arg(inverse.size()).arg(copyOut.size())));
        QVERIFY(paints.Count >= 3);
        w->ProgressBar1->removeEventFilter(&paints);
        const QString ratio30 = w->Ratio->text(), size30 = w->CSize->text();
        const QImage right30 = w->Image2->Picture();
        QVERIFY(size30 != size);

        // Cancel at an encoder report inside tier-1, then at a decoder report.
        for (const bool encoding : {true, false}) {
            int after = -1;
            win->FIO->SetOnProgress([&](TImage_IO* s, int32_t p) {
                win->kveProgress(s, p);
                if (after >= 0) {
                    ++after;
                } else if (win->FEncoding == encoding && p > (encoding ? 40 : 20) && p < 80) {
                    win->Button4->click();
                    after = 0;
                }
            });
            w->TrackBar1->setValue(encoding ? 900 : 50);
            w->Button2->click();
            QCOMPARE(after, 0);  // no report after the one that saw the Cancel
            QCOMPARE(w->Ratio->text(), ratio30);
            QCOMPARE(w->CSize->text(), size30);
            QCOMPARE(w->Image2->Picture(), right30);
            QVERIFY(!w->FBusy && w->Button2->isEnabled() && !w->Button4->isEnabled());
            QCOMPARE(w->ProgressBar1->Progress(), 0);
        }
    }

    void PreviewOfALargeSelectionStaysOnScreen()
    {
        const QString src = MakeBitmapFile(FDir.filePath("large.bmp"), 3000, 2000);
        auto w = NewWindow({src});
        w->Button2->click();
        w->SpeedButton3->click();
        w->SelLeft = 0, w->SelTop = 0, w->SelRight = 2999, w->SelBottom = 1999;
        w->SpeedButton4Click(w->SpeedButton4);
        TPre* pre = w->Pre;
        QVERIFY(pre->isVisible());
        const QRect avail = w->screen()->availableGeometry();
        QVERIFY2(avail.contains(pre->frameGeometry()),
                 qPrintable(QStringLiteral("%1,%2 %3x%4").arg(pre->x()).arg(pre->y()).arg(pre->width()).arg(pre->height())));
        QVERIFY(pre->width() < 2998);
        QVERIFY(qAbs(double(pre->width()) / pre->height() - 2998.0 / 1998) < 0.02);
        SaveScreenshot(pre, QStringLiteral("10-preview-large-selection"));
        pre->close();
    }

    void PreviewShowsTheRightPane()
    {
        auto w = NewWindow({Photo("rome.bmp")});
        w->SpeedButton3->click();
        w->SelLeft = 211, w->SelTop = 121, w->SelRight = 10, w->SelBottom = 20;  // any corner order
        w->SpeedButton4Click(w->SpeedButton4);
        TPre* pre = w->Pre;
        QVERIFY(pre->isVisible());
        QCOMPARE(pre->Image1->Picture().size(), QSize(200, 100));
        QCOMPARE(pre->Image1->Picture(), w->Image2->Picture().copy(11, 21, 200, 100).convertToFormat(QImage::Format_BGR888));
        QTRY_COMPARE(pre->size(), QSize(200, 100));
        QCOMPARE(pre->AspectRatio, 2.0);
        QCOMPARE(w->SelLeft, 10);
        QVERIFY(w->SpeedButton4->isEnabled() && !w->FBusy);
        // The user sets the width, the height follows.
        pre->resize(300, 100);
        QTRY_COMPARE(pre->size(), QSize(300, 150));
        QCOMPARE(pre->Image1->size(), QSize(300, 150));

        // After a slider move Preview compresses first.
        const QString oldSize = w->CSize->text();
        w->TrackBar1->setValue(50);
        QVERIFY(!w->FRightCurrent);
        w->SpeedButton4Click(w->SpeedButton4);
        QVERIFY(w->FRightCurrent);
        QVERIFY(w->CSize->text() != oldSize);
        QCOMPARE(pre->Image1->Picture(), w->Image2->Picture().copy(11, 21, 200, 100).convertToFormat(QImage::Format_BGR888));
        SaveScreenshot(pre, QStringLiteral("07-preview"));
        SaveScreenshot(w.get(), QStringLiteral("08-after-preview-compress"));

        // An open preview follows each Compress; navigation as before.
        w->TrackBar1->setValue(900);
        const QImage shown = pre->Image1->Picture();
        w->Button2->click();
        QVERIFY(pre->Image1->Picture() != shown);
        QVERIFY(!w->Next->isEnabled() && !w->Prev->isEnabled());

        // One pixel wide after ordering: nothing shown, Preview stays on.
        w->SelLeft = 10, w->SelRight = 11, w->SelTop = 10, w->SelBottom = 50;
        const QImage before = pre->Image1->Picture();
        w->SpeedButton4Click(w->SpeedButton4);
        QCOMPARE(pre->Image1->Picture(), before);
        QVERIFY(w->SpeedButton4->isEnabled());

        // Escape hides the preview and resets its ratio.
        QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(pre, &esc);
        QVERIFY(!pre->isVisible());
        QCOMPARE(pre->AspectRatio, 1.0);
        QVERIFY(w->isVisible());

        // Busy: the user's Preview does nothing.
        w->SelLeft = 10, w->SelRight = 60, w->SelTop = 10, w->SelBottom = 60;
        w->FBusy = true;
        w->SpeedButton4Click(w->SpeedButton4);
        QVERIFY(!pre->isVisible());
        w->FBusy = false;
    }
};

QTEST_MAIN(CompressTest)
#include "compress_test.moc"
