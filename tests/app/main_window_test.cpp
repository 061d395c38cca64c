// The main window driven offscreen: start-up state, the picture list, the
// view modes, selection, scrolling, layout and closing.
#include "Image_io.h"
#include "Main.h"
#include "app_test_util.h"

#include <QFile>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QtTest>

class MainWindowTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir FDir;
    TTestDialogs FDialogs;

    QString Photo(const QString& Name)
    {
        const QString to = FDir.filePath(Name);
        if (!QFile::exists(to)) QFile::copy(QStringLiteral(JP2_TESTDATA "/photos/") + Name, to);
        return to;
    }
    std::unique_ptr<TMainF> NewWindow()
    {
        auto w = std::make_unique<TMainF>();
        w->SetDialogs(&FDialogs);
        w->show();
        if (!QTest::qWaitForWindowExposed(w.get())) qWarning("window not exposed");
        return w;
    }
    void Open(TMainF& w, const QStringList& Files)
    {
        FDialogs.OpenResult = Files;
        w.Button6->click();
    }
    // Makes the left pane's client area Width x Height (scroll bars hidden).
    static void SetPaneClient(TMainF& w, int Width, int Height)
    {
        const QSize frame = w.ScrollBox1->size() - w.ScrollBox1->viewport()->size();
        w.ScrollBox1->resize(Width + frame.width(), Height + frame.height());
        QCOMPARE(w.ScrollBox1->ClientWidth(), Width);
        QCOMPARE(w.ScrollBox1->ClientHeight(), Height);
    }
    static QStringList EnabledButtons(TMainF& w)
    {
        QStringList on;
        for (QAbstractButton* b : w.findChildren<QAbstractButton*>())
            if (b->isEnabled()) on << b->objectName();
        on.sort();
        return on;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(FDir.isValid());
        IsolateSettings(FDir.filePath(QStringLiteral("settings")));
    }
    void init() { QSettings().clear(); }

    void StartUpState()
    {
        auto w = NewWindow();
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor"));
        QCOMPARE(w->QL->text(), QStringLiteral("20.0"));
        QCOMPARE(w->TrackBar1->value(), 200);
        QCOMPARE(w->FIO->Quality(), 20.0);
        QCOMPARE(w->StatusBar1->currentMessage(), QString());
        QCOMPARE(w->Ratio->text(), QString());  // no picture: nothing to describe
        QCOMPARE(w->CSize->text(), QString());
        QCOMPARE(EnabledButtons(*w), (QStringList{"BBAbout", "Button1", "Button6", "HTJ2K", "TargetPsnr"}));
        QVERIFY(w->TrackBar1->isEnabled());
        // Both panes show the logo fitted: width CW - 10, centred.
        const QImage logo = w->ILogo->Picture();
        QCOMPARE(w->Image1->Picture(), logo);
        QCOMPARE(w->Image2->Picture(), logo);
        const int CW = w->ScrollBox1->ClientWidth(), CH = w->ScrollBox1->ClientHeight();
        const int width = CW - 10, height = int(width / (180.0 / 64));
        QCOMPARE(w->Image1->geometry(), QRect((CW - width) / 2, (CH - height) / 2, width, height));
        QCOMPARE(w->Image2->geometry(), w->Image1->geometry());
        QVERIFY(w->Image1->Stretch());
        QVERIFY(w->Image1->toolTip().isEmpty());
        SaveScreenshot(w.get(), QStringLiteral("01-empty-window"));

        // Before the window is first shown (a real X server shows it later)
        // the logo is already fitted to the pane's real size, not to the
        // default size of a viewport that was never laid out.
        TMainF fresh;
        const int inner = fresh.ScrollBox1->width() - 2 * fresh.ScrollBox1->frameWidth();
        QCOMPARE(fresh.Image1->width(), inner - 10);
    }

    void OpeningFiles()
    {
        auto w = NewWindow();
        const QString a = Photo("bretagne.bmp"), b = Photo("cevennes.jpg"), c = Photo("rome.bmp");
        // Cancelled dialog on an empty list: commands stay off, hints on.
        Open(*w, {});
        QVERIFY(w->FList.isEmpty());
        QVERIFY(!w->Button2->isEnabled() && !w->Button3->isEnabled() && !w->Button5->isEnabled());
        QVERIFY(!w->Image1->toolTip().isEmpty());
        QVERIFY(!w->Button7->isEnabled());

        Open(*w, {a});
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor [ 1 of 1 ]"));
        QCOMPARE(w->StatusBar1->currentMessage(), a);
        QCOMPARE(w->OSize->text(), QString::asprintf("%2.1f Kb", QFileInfo(a).size() / 1024.0));
        QCOMPARE(w->CSize->text(), w->OSize->text());
        QCOMPARE(w->Image1->Picture().size(), QSize(640, 480));
        QVERIFY(w->Button7->isEnabled() && !w->Next->isEnabled() && !w->Prev->isEnabled());
        QVERIFY(w->FRightCurrent);
        // The first picture of a new list is fitted.
        QVERIFY(!w->SpeedButton2->isEnabled() && !w->SpeedButton1->isEnabled() && w->SpeedButton3->isEnabled());
        SaveScreenshot(w.get(), QStringLiteral("11-first-view-after-open"));

        // The same path again, and in other letter case, adds nothing.
        Open(*w, {a, a.toUpper(), b, c});
        QCOMPARE(w->FList.size(), 3);
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor [ 1 of 3 ]"));
        QVERIFY(w->Next->isEnabled() && !w->Prev->isEnabled());
        QCOMPARE(w->FList[1].Path, b);
        QCOMPARE(w->FList[1].Size, QFileInfo(b).size());
    }

    void UnreadableFilesAreNamedAndLeftOut()
    {
        // Unreadable files (an unknown extension, a missing file, a truncated
        // JPEG, random bytes named .jpg, an empty bitmap) never enter the
        // list: each is named once in one warning, the first readable picture
        // is shown and the buttons follow the list.
        const QString jpe = FDir.filePath("copy.jpe");
        QFile::copy(Photo("cevennes.jpg"), jpe);
        const QString a = Photo("bretagne.bmp"), c = Photo("rome.bmp");
        const QString badJpg = FDir.filePath("damaged.jpg"), noise = FDir.filePath("noise.jpg"),
                      empty = FDir.filePath("empty.bmp"), missing = FDir.filePath("missing.bmp");
        {
            QFile src(Photo("cevennes.jpg")), out(badJpg);
            QVERIFY(src.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
            out.write(src.read(600));
        }
        {
            QFile out(noise);
            QVERIFY(out.open(QIODevice::WriteOnly));
            for (int i = 0; i < 4096; ++i) out.putChar(char((i * 7919) >> 3));
        }
        {
            QFile out(empty);
            QVERIFY(out.open(QIODevice::WriteOnly));
        }
        const QStringList bad{jpe, missing, badJpg, noise, empty};

        // Only unreadable files: nothing to compress or save.
        auto w = NewWindow();
        FDialogs.Warnings.clear();
        Open(*w, {noise, empty});
        QVERIFY(w->FList.isEmpty());
        QCOMPARE(FDialogs.Warnings.size(), 1);
        QVERIFY(!w->Button2->isEnabled() && !w->Button3->isEnabled() && !w->Button5->isEnabled());
        QVERIFY(!w->Button7->isEnabled());
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor"));

        // Mixed with good ones: the list holds only the good ones.
        FDialogs.Warnings.clear();
        Open(*w, {bad[0], a, bad[1], bad[2], c, bad[3], bad[4]});
        QCOMPARE(FDialogs.Warnings.size(), 1);
        for (const QString& f : bad)
            QCOMPARE(FDialogs.Warnings[0].count(QDir::toNativeSeparators(f) + ":"), 1);
        QCOMPARE(w->FList.size(), 2);
        QCOMPARE(w->FList[1].Path, c);
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor [ 1 of 2 ]"));
        QCOMPARE(w->Image1->Picture().size(), QSize(640, 480));
        QCOMPARE(w->StatusBar1->currentMessage(), a);
        QVERIFY(w->Button2->isEnabled() && w->Button3->isEnabled() && w->Button5->isEnabled());
        QVERIFY(w->Button7->isEnabled() && w->Next->isEnabled() && !w->Prev->isEnabled());

        // A file that goes missing after the Open leaves the list when it
        // becomes current, named in the status bar; index and buttons stay sound.
        const QString gone = FDir.filePath("gone.bmp");
        QFile::copy(a, gone);
        auto w2 = NewWindow();
        Open(*w2, {a, gone});
        QFile::remove(gone);
        w2->Next->click();
        QCOMPARE(w2->FList.size(), 1);
        QCOMPARE(w2->FIndex, 0);
        QVERIFY(w2->StatusBar1->currentMessage().contains(QDir::toNativeSeparators(gone)));
        QVERIFY(!w2->Prev->isEnabled() && !w2->Next->isEnabled());
    }

    void NextAndPrevAtBothEnds()
    {
        auto w = NewWindow();
        const QString a = Photo("bretagne.bmp"), b = Photo("cevennes.jpg"), c = Photo("rome.bmp");
        Open(*w, {a, b, c});
        w->Next->click();
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor [ 2 of 3 ]"));
        QVERIFY(w->Prev->isEnabled() && w->Next->isEnabled());
        w->Next->click();
        QCOMPARE(w->StatusBar1->currentMessage(), c);
        QVERIFY(!w->Next->isEnabled() && w->Prev->isEnabled());
        w->NextClick();  // past the end: nothing
        QCOMPARE(w->FIndex, 2);
        w->Prev->click();
        w->Prev->click();
        QCOMPARE(w->FIndex, 0);
        QVERIFY(w->Next->isEnabled() && !w->Prev->isEnabled());
        w->PrevClick();
        QCOMPARE(w->FIndex, 0);

        // Opening more files keeps the current picture and reloads it.
        w->Next->click();
        Open(*w, {Photo("forest.jpg")});
        QCOMPARE(w->FIndex, 1);
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor [ 2 of 4 ]"));
        QCOMPARE(w->StatusBar1->currentMessage(), b);
    }

    void DropsAskFirst()
    {
        auto w = NewWindow();
        const QString a = Photo("bretagne.bmp"), b = Photo("cevennes.jpg"), c = Photo("rome.bmp");
        FDialogs.Questions = 0;
        FDialogs.Answer = false;
        w->ScrollBox1DropFiles(w->ScrollBox1, {a, b});  // asked also on an empty list
        QCOMPARE(FDialogs.Questions, 1);
        QCOMPARE(FDialogs.LastCaption, QStringLiteral("Confirmation"));
        QCOMPARE(FDialogs.LastQuestion, QStringLiteral("Close opened pictures?"));
        QCOMPARE(w->FList.size(), 2);
        w->Next->click();
        w->ScrollBox1DropFiles(w->ScrollBox1, {c, a});  // No: appended, current unchanged
        QCOMPARE(FDialogs.Questions, 2);
        QCOMPARE(w->FList.size(), 3);
        QCOMPARE(w->FList[2].Path, c);
        QCOMPARE(w->StatusBar1->currentMessage(), b);
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor [ 2 of 3 ]"));

        FDialogs.Answer = true;  // Yes: the list starts afresh with the drop
        w->ScrollBox1DropFiles(w->ScrollBox1, {c});
        QCOMPARE(w->FList.size(), 1);
        QCOMPARE(w->StatusBar1->currentMessage(), c);
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor [ 1 of 1 ]"));

        // A drop through the scroll box's own drop event reaches the handler.
        auto* mime = new QMimeData;
        mime->setUrls({QUrl::fromLocalFile(a), QUrl::fromLocalFile(b)});
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, mime, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w->ScrollBox1->viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(20, 20), Qt::CopyAction, mime, Qt::NoButton, Qt::NoModifier);
        FDialogs.Answer = false;
        QApplication::sendEvent(w->ScrollBox1->viewport(), &drop);
        QCOMPARE(FDialogs.Questions, 4);
        QCOMPARE(w->FList.size(), 3);
        QCOMPARE(w->FList[1].Path, a);
        // The right pane does not take files.
        QDragEnterEvent refused(QPoint(20, 20), Qt::CopyAction, mime, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(w->ScrollBox2->viewport(), &refused);
        QVERIFY(!refused.isAccepted());
        delete mime;

        // Clear asks the same question; Yes empties the window.
        FDialogs.Answer = true;
        w->Button7->click();
        QCOMPARE(FDialogs.Questions, 5);
        QVERIFY(w->FList.isEmpty());
        QCOMPARE(w->windowTitle(), QStringLiteral("JPEG 2000 Comressor"));
        QCOMPARE(w->Image1->Picture(), w->ILogo->Picture());

        // While an operation runs, drops and Clear are ignored.
        Open(*w, {a});
        w->FBusy = true;
        w->ScrollBox1DropFiles(w->ScrollBox1, {b});
        w->Button7Click();
        QCOMPARE(FDialogs.Questions, 5);
        QCOMPARE(w->FList.size(), 1);
        w->FBusy = false;
    }

    void ClosingRefusedWhileBusy()
    {
        auto w = NewWindow();
        w->FBusy = true;
        w->Button1Click();
        QVERIFY(w->isVisible());
        QVERIFY(!w->close());
        QVERIFY(w->isVisible());
        w->FBusy = false;
        w->Button1->click();
        QVERIFY(!w->isVisible());
    }

    void NavigationPairsNest()
    {
        auto w = NewWindow();
        Open(*w, {Photo("bretagne.bmp"), Photo("rome.bmp"), Photo("cevennes.jpg")});
        w->Next->click();
        w->SaveNavigation();
        QVERIFY(!w->Next->isEnabled() && !w->Prev->isEnabled());
        w->SaveNavigation();
        w->RestoreNavigation();  // the inner pair restores what it found
        QVERIFY(!w->Next->isEnabled() && !w->Prev->isEnabled());
        w->RestoreNavigation();
        QVERIFY(w->Next->isEnabled() && w->Prev->isEnabled());
    }

    void LayoutFigures()
    {
        auto w = NewWindow();
        const QSize frame = w->frameGeometry().size() - w->size();
        QCOMPARE(w->minimumSize() + frame, QSize(594, 502));
        w->setMinimumSize(0, 0);
        w->resize(595, 469);
        QTRY_COMPARE(w->size(), QSize(595, 469));
        QCOMPARE(w->ScrollBox1->geometry(), QRect(4, 4, 284, 293));
        QCOMPARE(w->ScrollBox2->geometry(), QRect(306, 4, 284, 293));
        QCOMPARE(w->Panel2->geometry().top(), 301);
        QCOMPARE(w->Panel2->width(), 595 - 2 * 5);  // inside the window, margins as on the left
        QCOMPARE(w->StatusBar1->geometry(), QRect(0, 449, 595, 20));
        QCOMPARE(w->Label4->x(), 306 + 116);
        QCOMPARE(w->CSize->x(), 306 + 153);
        QCOMPARE(w->Ratio->x(), (595 - w->Ratio->width()) / 2);
        // Anchored controls keep their distance from Panel2's right edge, and
        // every control stays inside the window at this size and at others.
        QCOMPARE(w->Button1->x() + w->Button1->width(), 585 - (586 - 579));
        QCOMPARE(w->Panel1->x() + w->Panel1->width(), 585 - (586 - 578));
        for (const QSize size : {QSize(595, 469), QSize(603, 501), QSize(1200, 800)}) {
            w->resize(size);
            QTRY_COMPARE(w->size(), size);
            for (QWidget* c : w->Panel2->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                const QRect r(c->mapTo(w.get(), QPoint(0, 0)), c->size());
                QVERIFY2(w->rect().contains(r), qPrintable(c->objectName()));
            }
        }
        // In Fit mode the pictures follow the pane.
        Open(*w, {Photo("rome.bmp")});
        w->SpeedButton1->click();
        w->resize(900, 700);
        QTRY_COMPARE(w->size(), QSize(900, 700));
        QCOMPARE(w->Image1->width(), w->ScrollBox1->ClientWidth() - 10);
        SaveScreenshot(w.get(), QStringLiteral("02-photo-fit-900x700"));
    }

    void FitFigures()
    {
        auto w = NewWindow();
        const QString wide = MakeBitmapFile(FDir.filePath("wide.bmp"), 1000, 500);
        const QString tall = MakeBitmapFile(FDir.filePath("tall.bmp"), 500, 1000);
        Open(*w, {wide, tall});
        w->SpeedButton3->click();
        w->ScrollBox1->SetScrollBarsVisible(false);  // as Fit hides them
        SetPaneClient(*w, 280, 290);
        w->SpeedButton1->click();
        QCOMPARE(w->Image1->geometry(), QRect(5, 77, 270, 135));
        QCOMPARE(w->Image2->geometry(), QRect(5, 77, 270, 135));
        QCOMPARE(w->Image1->PenWidth(), 4);
        QVERIFY(!w->SpeedButton1->isEnabled() && !w->SpeedButton2->isEnabled() && w->SpeedButton3->isEnabled());
        w->Next->click();  // from Fit, 1:1 is applied
        QVERIFY(!w->SpeedButton3->isEnabled());
        QCOMPARE(w->Image1->geometry(), QRect(0, 0, 500, 1000));
        QCOMPARE(w->Image1->PenWidth(), 1);
        w->ScrollBox1->SetScrollBarsVisible(false);  // as Fit hides them
        SetPaneClient(*w, 280, 290);
        w->SpeedButton1->click();
        QCOMPARE(w->Image1->geometry(), QRect(70, 5, 140, 280));
        QCOMPARE(w->Image2->geometry(), QRect(70, 5, 140, 280));
    }

    void ViewModesAndSteps()
    {
        auto w = NewWindow();
        Open(*w, {Photo("rome.bmp"), Photo("bretagne.bmp"), Photo("forest.jpg")});
        // First picture: fitted at its true proportions.
        QCOMPARE(w->Image1->width(), w->ScrollBox1->ClientWidth() - 10);
        QCOMPARE(w->Image1->height(), int(w->Image1->width() / (640 / 480.0)));
        QVERIFY(w->Image1->Stretch());
        w->SpeedButton3->click();  // 1:1: the picture in full, bars as needed
        QCOMPARE(w->Image1->geometry(), QRect(0, 0, 640, 480));
        QCOMPARE(w->Image2->geometry(), QRect(0, 0, 640, 480));
        QVERIFY(w->ScrollBox1->horizontalScrollBar()->isVisible());
        QVERIFY(!w->Image1->Stretch() && w->Image1->AutoSize());
        SaveScreenshot(w.get(), QStringLiteral("03-photo-1to1"));
        w->SpeedButton2->click();  // Center: scrolled to the middle
        const QScrollBar* h = w->ScrollBox1->horizontalScrollBar();
        QCOMPARE(h->value(), std::min(h->maximum(), 640 / 2 - w->ScrollBox1->width() / 2));
        QCOMPARE(w->ScrollBox2->horizontalScrollBar()->value(), w->ScrollBox2->Content()->width() / 2 - w->ScrollBox2->width() / 2);
        SaveScreenshot(w.get(), QStringLiteral("04-photo-center"));
        w->Next->click();  // from Center, 1:1 applies: the picture at the top left
        QVERIFY(!w->SpeedButton3->isEnabled());
        QCOMPARE(w->Image1->pos(), QPoint(0, 0));
        QCOMPARE(h->value(), 0);
        w->Next->click();  // from 1:1, Center applies
        QVERIFY(!w->SpeedButton2->isEnabled());
    }

    void SelectionInFit()
    {
        auto w = NewWindow();
        const QString pic = MakeBitmapFile(FDir.filePath("half.bmp"), 540, 270);
        Open(*w, {pic});
        w->SpeedButton3->click();
        w->ScrollBox1->SetScrollBarsVisible(false);  // as Fit hides them
        SetPaneClient(*w, 280, 290);
        w->SpeedButton1->click();
        QCOMPARE(w->Image1->width(), 270);  // half size
        QCOMPARE(w->Image1->PenWidth(), 3);
        const QImage before = w->Image1->Picture().copy();
        TImage* img = w->Image1;
        SendMouse(img, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, QPoint(25, 20));
        QVERIFY(w->FSelecting);
        QCOMPARE(w->FLeftCursor, Qt::CrossCursor);
        QCOMPARE(w->SelLeft, 50);
        QCOMPARE(w->SelTop, 40);
        SendMouse(img, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, QPoint(100, 60));
        QCOMPARE(w->SelRight, 200);
        QCOMPARE(w->SelBottom, 120);
        // The outline is inverted on the left pane's own bitmap only.
        QCOMPARE(QColor(w->Image1->Picture().pixel(50, 80)).red(), 255 - QColor(before.pixel(50, 80)).red());
        QCOMPARE(w->FSource.pixel(50, 80), before.pixel(50, 80));
        QCOMPARE(w->Image2->Picture().pixel(50, 80), before.pixel(50, 80));
        QCOMPARE(w->FIO->GetAttachedBitmap()->pixel(50, 80), before.pixel(50, 80));
        QCOMPARE(w->Image1->Picture().pixel(120, 80), before.pixel(120, 80));  // inside untouched
        SaveScreenshot(w.get(), QStringLiteral("05-selection"));
        // Beyond the picture's right and bottom edges: the last pixel.
        SendMouse(img, QEvent::MouseMove, Qt::NoButton, Qt::LeftButton, QPoint(400, 400));
        SendMouse(img, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, QPoint(400, 400));
        QCOMPARE(w->SelRight, 539);
        QCOMPARE(w->SelBottom, 269);
        QVERIFY(!w->FSelecting);
        QVERIFY(w->SpeedButton4->isEnabled());
        QCOMPARE(w->FLeftCursor, Qt::ArrowCursor);
        // Drawing the outline again restores the pixels.
        w->DrawSelection();
        QCOMPARE(w->Image1->Picture(), before.convertToFormat(w->Image1->Picture().format()));
        w->DrawSelection();
        // A click without moving: empty rectangle, Preview stays off, old outline gone.
        SendMouse(img, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, QPoint(30, 30));
        SendMouse(img, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, QPoint(30, 30));
        QVERIFY(!w->SpeedButton4->isEnabled());
        QCOMPARE(w->Image1->Picture(), before.convertToFormat(w->Image1->Picture().format()));
        // Loading erases the outline and resets the rectangle.
        SendMouse(img, QEvent::MouseButtonPress, Qt::LeftButton, Qt::LeftButton, QPoint(10, 10));
        SendMouse(img, QEvent::MouseButtonRelease, Qt::LeftButton, Qt::NoButton, QPoint(50, 50));
        w->LoadCurrentPicture();
        QCOMPARE(w->SelLeft + w->SelTop + w->SelRight + w->SelBottom, 0);
    }

    void SynchronizedScrolling()
    {
        auto w = NewWindow();
        Open(*w, {Photo("bretagne.bmp")});
        w->SpeedButton3->click();
        QScrollBar* h1 = w->ScrollBox1->horizontalScrollBar();
        QScrollBar* v1 = w->ScrollBox1->verticalScrollBar();
        QScrollBar* h2 = w->ScrollBox2->horizontalScrollBar();
        QScrollBar* v2 = w->ScrollBox2->verticalScrollBar();
        QVERIFY(h1->maximum() > 100 && v1->maximum() > 100);
        // The user's scrolling: one notification after the content moved.
        int notes = 0, seen = -1, imageX = 1;
        w->ScrollBox1->OnScrollHorz = [&](TCustomScrollBox* s) {
            ++notes;
            seen = s->horizontalScrollBar()->value();
            imageX = w->Image1->mapTo(w->ScrollBox1->viewport(), QPoint(0, 0)).x();
            w->ScrollBox1ScrollHorz();
        };
        h1->triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(notes, 1);
        QVERIFY(seen > 0);
        QCOMPARE(seen, h1->value());
        QCOMPARE(imageX, -seen);
        QCOMPARE(h2->value(), h1->value());
        // Positions set by the program raise nothing.
        h1->setValue(10);
        QCOMPARE(notes, 1);
        QCOMPARE(h2->value(), seen);
        // The other direction and the other pane.
        v2->triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(v1->value(), v2->value());
        QVERIFY(v1->value() > 0);

        // Dragging with the right button in the right pane moves both.
        h1->setValue(100);
        h2->setValue(100);
        v1->setValue(100);
        v2->setValue(100);
        TImage* img = w->Image2;
        SendMouse(img, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, QPoint(200, 200));
        QCOMPARE(w->FRightCursor, Qt::OpenHandCursor);
        SendMouse(img, QEvent::MouseMove, Qt::NoButton, Qt::RightButton, QPoint(230, 190));
        QCOMPARE(h2->value(), 70);
        QCOMPARE(v2->value(), 110);
        QCOMPARE(h1->value(), 70);
        QCOMPARE(v1->value(), 110);
        SendMouse(img, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, QPoint(230, 190));
        QCOMPARE(w->FRightCursor, Qt::ArrowCursor);
        // And in the left pane, the right follows.
        img = w->Image1;
        SendMouse(img, QEvent::MouseButtonPress, Qt::RightButton, Qt::RightButton, QPoint(200, 200));
        SendMouse(img, QEvent::MouseMove, Qt::NoButton, Qt::RightButton, QPoint(190, 220));
        QCOMPARE(h1->value(), 80);
        QCOMPARE(v1->value(), 90);
        QCOMPARE(h2->value(), 80);
        QCOMPARE(v2->value(), 90);
        SendMouse(img, QEvent::MouseButtonRelease, Qt::RightButton, Qt::NoButton, QPoint(190, 220));
        QCOMPARE(w->FLeftCursor, Qt::ArrowCursor);
    }
};

QTEST_MAIN(MainWindowTest)
#include "main_window_test.moc"
