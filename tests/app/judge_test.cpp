// Judging a compressed picture in the window: the figures after Compress,
// the difference view, the flicker view, and the HTJ2K switch with the
// remembered settings.
#include "Jpeg2000_io.h"
#include "Main.h"
#include "PictureCompare.h"
#include "PictureLoader.h"
#include "app_test_util.h"

#include <QLabel>
#include <QProcess>
#include <QScrollBar>
#include <QSlider>
#include <QStandardPaths>
#include <QStyle>
#include <QTemporaryDir>
#include <QtTest>

class JudgeTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    TTestDialogs FDialogs;

    std::unique_ptr<TMainF> NewWindow(const QStringList& Files)
    {
        auto w = std::make_unique<TMainF>();
        w->SetDialogs(&FDialogs);
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) qWarning("window not exposed");
        FDialogs.OpenResult = Files;
        w->Button6->click();
        return w;
    }
    QString Photo(const QString& Name)
    {
        const QString to = FDir.filePath(Name);
        if (!QFile::exists(to)) QFile::copy(QStringLiteral(JP2_TESTDATA "/photos/") + Name, to);
        return to;
    }
    static bool Run(const QString& Program, const QStringList& Args)
    {
        QProcess p;
        p.start(Program, Args);
        return p.waitForFinished(120000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    static void ControlsInside(TMainF& w)
    {
        for (QWidget* c : w.Panel2->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            const QRect r(c->mapTo(&w, QPoint(0, 0)), c->size());
            QVERIFY2(w.rect().contains(r), qPrintable(c->objectName()));
        }
        // No control runs into another (a label by its text only), and
        // the check boxes show their whole text.
        const auto extent = [](QWidget* c) {
            auto* label = qobject_cast<QLabel*>(c);
            // The slider's box has room above and below its ticks.
            if (qobject_cast<QSlider*>(c)) return c->geometry().adjusted(0, 8, 0, -2);
            if (!label) return c->geometry();
            const QRect text = label->fontMetrics().boundingRect(label->text());
            return QStyle::alignedRect(Qt::LeftToRight, label->alignment(), text.size(), label->geometry());
        };
        QList<QWidget*> shown;
        for (QWidget* c : w.Panel2->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            auto* label = qobject_cast<QLabel*>(c);
            if (c->isVisible() && !(label && label->text().isEmpty())) shown << c;
        }
        for (QWidget* a : shown)
            for (QWidget* b : shown)
                QVERIFY2(a >= b || !extent(a).intersects(extent(b)),
                         qPrintable(a->objectName() + QStringLiteral(" / ") + b->objectName()));
        QVERIFY(w.HTJ2K->width() >= w.HTJ2K->sizeHint().width());
        QVERIFY(w.TargetPsnr->width() >= w.TargetPsnr->sizeHint().width());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(FDir.isValid());
        IsolateSettings(FDir.filePath(QStringLiteral("settings")));
    }
    void init() { QSettings().clear(); }

    void FiguresFollowEveryCompress()
    {
        auto w = NewWindow({Photo("rome.bmp"), Photo("cevennes.jpg")});
        QCOMPARE(w->Psnr->text(), QString());
        w->Button2->click();
        // They arrive from the worker thread, and they are the figures of the
        // two panes' pictures.
        QTRY_VERIFY(!w->Psnr->text().isEmpty());
        PictureDifference d;
        QVERIFY(ComparePictures(w->FSource, w->FRight, &d));
        QVERIFY(d.psnr > 25 && d.psnr < 60 && d.ssim > 0.5 && d.ssim < 1);
        QCOMPARE(w->Psnr->text(), QStringLiteral("PSNR: %1 dB").arg(d.psnr, 0, 'f', 2));
        QCOMPARE(w->Ssim->text(), QStringLiteral("SSIM: %1").arg(d.ssim, 0, 'f', 4));
        QVERIFY(!w->Psnr->toolTip().isEmpty() && !w->Ssim->toolTip().isEmpty());
        ControlsInside(*w);
        SaveScreenshot(w.get(), QStringLiteral("12-figures"));
        QTest::keyClick(w.get(), Qt::Key_D);
        // The heat map comes from a worker thread, with its legend.
        QTRY_VERIFY(w->findChild<QLabel*>(QStringLiteral("DiffLegend"))->isVisible());
        SaveScreenshot(w.get(), QStringLiteral("13-difference-after-compress"));
        QTest::keyClick(w.get(), Qt::Key_D);
        QCOMPARE(w->Image2->Picture(), w->FRight);
        w->showMaximized();
        QTRY_VERIFY(w->width() > 700);
        ControlsInside(*w);
        SaveScreenshot(w.get(), QStringLiteral("12-figures-maximised"));
        w->SpeedButton5->click();
        QTRY_VERIFY(w->findChild<QLabel*>(QStringLiteral("DiffLegend"))->isVisible());
        SaveScreenshot(w.get(), QStringLiteral("13-difference-maximised"));
        w->SpeedButton5->click();
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), w->ScrollBox2->mapToGlobal(QPointF(5, 5)));
        QApplication::sendEvent(w->ScrollBox2, &enter);
        QTest::keyPress(w->Button2, Qt::Key_Space);
        QVERIFY(w->FFlicker);
        SaveScreenshot(w.get(), QStringLiteral("14-flicker-maximised"));
        QTest::keyRelease(w->Button2, Qt::Key_Space);
        w->showNormal();

        // Emptied with the other labels; a result that arrives after the
        // picture changed is dropped.
        w->Next->click();
        QCOMPARE(w->Psnr->text(), QString());
        w->Button2->click();
        w->Prev->click();
        QTest::qWait(300);
        QCOMPARE(w->Psnr->text(), QString());
        QCOMPARE(w->Ssim->text(), QString());
        w->Button2->click();
        QTRY_VERIFY(!w->Ssim->text().isEmpty());
        FDialogs.Answer = true;
        w->Button7->click();
        QCOMPARE(w->Psnr->text(), QString());
    }

    void DifferenceAndFlickerViews()
    {
        const QString src = MakeBitmapFile(FDir.filePath("pair.bmp"), 700, 500);
        auto w = NewWindow({src});
        // A known distortion: an error of 10 in blue at (5, 7), of 40 in red
        // at (600, 400).
        QImage right = w->FSource.copy();
        uchar* p = right.scanLine(7) + 5 * 3;
        p[2] = static_cast<uchar>(p[2] < 128 ? p[2] + 10 : p[2] - 10);
        p = right.scanLine(400) + 600 * 3;
        p[0] = static_cast<uchar>(p[0] < 128 ? p[0] + 40 : p[0] - 40);
        w->SetRightPicture(right);

        for (void (TMainF::*mode)() : {&TMainF::SpeedButton1Click, &TMainF::SpeedButton3Click, &TMainF::SpeedButton2Click}) {
            (w.get()->*mode)();
            QTest::keyClick(w.get(), Qt::Key_D);
            QVERIFY(w->FDiffView && w->SpeedButton5->isChecked());
            QTRY_VERIFY(w->findChild<QLabel*>(QStringLiteral("DiffLegend"))->isVisible());
            const QImage shown = w->Image2->Picture();
            QCOMPARE(shown.pixel(5, 7), HeatColour(10 * TMainF::kDiffGain));
            QCOMPARE(shown.pixel(600, 400), HeatColour(255));
            QCOMPARE(shown.pixel(0, 0), HeatColour(0));
            QVERIFY(w->findChild<QLabel*>(QStringLiteral("DiffLegend"))->isVisible());
            QCOMPARE(w->Image2->geometry(), w->Image1->geometry());
            if (mode == &TMainF::SpeedButton3Click) {
                // 1:1 scrolls both panes together, also in this view.
                w->resize(603, 501);
                w->ScrollBox1->horizontalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
                w->ScrollBox2->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
                QVERIFY(w->ScrollBox1->horizontalScrollBar()->value() > 0);
                QVERIFY(w->ScrollBox2->verticalScrollBar()->value() > 0);
                QCOMPARE(w->ScrollBox2->horizontalScrollBar()->value(), w->ScrollBox1->horizontalScrollBar()->value());
                QCOMPARE(w->ScrollBox1->verticalScrollBar()->value(), w->ScrollBox2->verticalScrollBar()->value());
                SaveScreenshot(w.get(), QStringLiteral("13-difference-1to1"));
            } else if (mode == &TMainF::SpeedButton1Click) {
                SaveScreenshot(w.get(), QStringLiteral("13-difference-fit"));
            }
            w->SpeedButton5->click();  // back with the button
            QVERIFY(!w->FDiffView);
            QCOMPARE(w->Image2->Picture(), right);
        }

        // Flicker: the space bar over a pane shows the original on the right,
        // from whichever widget has the focus, without pressing that widget.
        w->SpeedButton1Click();
        w->Button2->setFocus();
        QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), w->ScrollBox1->mapToGlobal(QPointF(5, 5)));
        QApplication::sendEvent(w->ScrollBox1, &enter);
        QTest::keyPress(w->Button2, Qt::Key_Space);
        QVERIFY(w->FFlicker);
        QCOMPARE(w->Image2->Picture(), w->FSource);
        SaveScreenshot(w.get(), QStringLiteral("14-flicker"));
        QTest::keyRelease(w->Button2, Qt::Key_Space);
        QVERIFY(!w->FFlicker);
        QCOMPARE(w->Image2->Picture(), right);
        QVERIFY(w->CSize->text() == w->OSize->text());  // no Compress ran
        // Away from the panes the space bar is the focused button's again.
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(w->ScrollBox1, &leave);
        QCursor::setPos(w->mapToGlobal(QPoint(w->width() - 2, w->height() - 2)));
        QTest::keyPress(w->Button2, Qt::Key_Space);
        QVERIFY(!w->FFlicker);
        QTest::keyRelease(w->Button2, Qt::Key_Space);
    }

    void OtherFormatsOpen()
    {
        // A shared photo converted by ImageMagick and losslessly by
        // opj_compress opens as the same pixels; a grey code stream as grey.
        if (QStandardPaths::findExecutable(QStringLiteral("convert")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("opj_compress")).isEmpty())
            QSKIP("ImageMagick or opj_compress missing");
        const QString bmp = Photo("rome.bmp");
        const QString d = FDir.filePath(QStringLiteral("formats/"));
        QDir().mkpath(d);
        QVERIFY(Run("convert", {bmp, d + "rome.png"}));
        QVERIFY(Run("convert", {bmp, "-depth", "8", "-compress", "lzw", d + "rome.tiff"}));
        QVERIFY(Run("opj_compress", {"-i", bmp, "-o", d + "rome.j2k"}));
        QVERIFY(Run("opj_compress", {"-i", bmp, "-o", d + "rome.jp2"}));
        QVERIFY(QFile::copy(d + "rome.j2k", d + "rome.jpc"));
        QVERIFY(Run("convert", {bmp, "-colorspace", "Gray", "-depth", "8", d + "grey.pgm"}));
        QVERIFY(Run("opj_compress", {"-i", d + "grey.pgm", "-o", d + "grey.j2c"}));
        QFile bad(d + "bad.jp2");
        QVERIFY(bad.open(QIODevice::WriteOnly));
        bad.write(QByteArray("\0\0\0\x0cjP  \r\n\x87\n", 12) + QByteArray(300, 'x'));
        bad.close();

        auto w = NewWindow({d + "rome.png", d + "rome.tiff", d + "rome.j2k", d + "rome.jp2", d + "rome.jpc",
                            d + "grey.j2c", d + "bad.jp2"});
        QCOMPARE(FDialogs.Warnings.size(), 1);
        QVERIFY(FDialogs.Warnings.last().contains(QStringLiteral("bad.jp2")));
        FDialogs.Warnings.clear();
        QCOMPARE(w->FList.size(), 6);
        const QImage original = LoadPicture(bmp);
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(w->FList[w->FIndex].Path.section('/', -1), QStringList({"rome.png", "rome.tiff", "rome.j2k", "rome.jp2", "rome.jpc"})[i]);
            QVERIFY2(w->FSource == original, qPrintable(w->FList[w->FIndex].Path));
            w->Next->click();
        }
        QImage grey(d + "grey.pgm");
        QVERIFY(!grey.isNull());
        grey = grey.convertToFormat(QImage::Format_BGR888);
        QCOMPARE(w->FSource, grey);
        // Save All never writes over a picture of the list (rome.png's and
        // rome.jp2's own output would be rome.jp2).
        const QByteArray before = [&] { QFile f(d + "rome.jp2"); f.open(QIODevice::ReadOnly); return f.readAll(); }();
        FDialogs.Answer = true;
        w->Button5->click();
        QFile f(d + "rome.jp2");
        QVERIFY(f.open(QIODevice::ReadOnly) && f.readAll() == before);
        QVERIFY(QFile::exists(d + "rome.new.jp2") && QFile::exists(d + "grey.jp2"));
    }

    void TargetPsnrIsReached()
    {
        auto w = NewWindow({Photo("rome.bmp")});
        w->TargetPsnr->click();
        QCOMPARE(w->QL->text(), QStringLiteral("40.0"));
        w->TrackBar1->setValue(350);
        QCOMPARE(w->jp2->TargetPsnr(), 35.0);
        w->Button2->click();
        const double reached = w->jp2->ReachedPsnr();
        QVERIFY2(reached >= 35 && reached < 35.3, qPrintable(QString::number(reached)));
        QTRY_VERIFY(!w->Psnr->text().isEmpty());
        PictureDifference d;
        QVERIFY(ComparePictures(w->FSource, w->FRight, &d));
        QVERIFY(std::abs(d.psnr - reached) < 0.01);
        QVERIFY(w->findChild<QLabel*>(QStringLiteral("Coder"))->text().contains(QStringLiteral("35.")));
        SaveScreenshot(w.get(), QStringLiteral("16-target-psnr"));
        // A higher goal costs more bytes; the quality comes back unchanged.
        const qsizetype at35 = w->FCompressed.size();
        w->TrackBar1->setValue(400);
        w->Button2->click();
        QVERIFY(w->FCompressed.size() > at35);
        w->TargetPsnr->click();
        QCOMPARE(w->QL->text(), QStringLiteral("20.0"));
        QCOMPARE(w->jp2->TargetPsnr(), 0.0);
        w->TargetPsnr->click();
        QCOMPARE(w->QL->text(), QStringLiteral("40.0"));
        auto again = std::make_unique<TMainF>();
        QVERIFY(again->TargetPsnr->isChecked());
        QCOMPARE(again->jp2->TargetPsnr(), 40.0);
    }

    void HighThroughputSwitchIsHonouredAndRemembered()
    {
        {
            auto w = NewWindow({Photo("rome.bmp")});
            QVERIFY(!w->HTJ2K->isChecked());
            w->TrackBar1->setValue(150);
            w->HTJ2K->click();
            QVERIFY(w->jp2->EncoderOptions(64, 64).ends_with(" ht"));
            w->Button2->click();
            // HT code blocks: the stream carries a CAP marker (FF50).
            QVERIFY(w->FCompressed.contains(QByteArray("\xff\x50", 2)));
            QVERIFY(w->findChild<QLabel*>(QStringLiteral("Coder"))->text().contains(QStringLiteral("HTJ2K")));
            QTRY_VERIFY(!w->Psnr->text().isEmpty());
            SaveScreenshot(w.get(), QStringLiteral("15-htj2k"));
            // Save As and Save All write what the switch says.
            const QString out = FDir.filePath(QStringLiteral("ht.jp2"));
            FDialogs.SaveResult = out;
            w->TrackBar1->setValue(160);  // not the judged bytes: coded anew
            w->Button3->click();
            QFile f(out);
            QVERIFY(f.open(QIODevice::ReadOnly) && f.readAll().contains(QByteArray("\xff\x50", 2)));
        }
        // A new window starts with the switch, the quality and the folder.
        auto w = std::make_unique<TMainF>();
        QVERIFY(w->HTJ2K->isChecked());
        QCOMPARE(w->QL->text(), QStringLiteral("16.0"));
        QVERIFY(w->jp2->HighThroughput());
        w->SetDialogs(&FDialogs);
        FDialogs.OpenResult.clear();
        w->Button6->click();
        QCOMPARE(FDialogs.Folder, FDir.path());
    }
};

QTEST_MAIN(JudgeTest)
#include "judge_test.moc"
