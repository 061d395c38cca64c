// The splash and About window: minimum time (also across a wrap of the
// millisecond counter), the keys and clicks that close the About box.
#include "Splash.h"

#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QTimer>
#include <QtTest>

namespace {

QElapsedTimer gReal;
uint32_t gBase = 0;
// A tick counter that wraps 200 ms after the test starts it.
uint32_t WrappingTicks() { return gBase + static_cast<uint32_t>(gReal.elapsed()); }

void SendKey(QWidget* Target, QEvent::Type Type, int Key)
{
    QKeyEvent e(Type, Key, Qt::NoModifier);
    QApplication::sendEvent(Target, &e);
}

void SendRelease(QWidget* Target, Qt::MouseButton Button)
{
    QMouseEvent e(QEvent::MouseButtonRelease, QPointF(10, 10), Target->mapToGlobal(QPointF(10, 10)), Button,
                  Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(Target, &e);
}

}  // namespace

class SplashTest : public QObject {
    Q_OBJECT

private slots:
    void RemainingTimeAcrossWrap()
    {
        QCOMPARE(SplashRemaining(1300, 1000, 1000), 700u);
        QCOMPARE(SplashRemaining(2100, 1000, 1000), 0u);
        QCOMPARE(SplashRemaining(0x100, 0xFFFFFF00u, 1000), 1000u - 0x200);
        QCOMPARE(SplashRemaining(0x400, 0xFFFFFF00u, 1000), 0u);
    }

    void SplashStaysForTheMinimum()
    {
        gReal.start();
        gBase = 0xFFFFFFFFu - 200;  // the counter wraps during the wait
        SetTickSource(WrappingTicks);
        QElapsedTimer wall;
        wall.start();
        ShowSplash();
        QVERIFY(SplashInstance());
        QCOMPARE(SplashInstance()->size(), SplashInstance()->Image().size());
        QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
        SplashInstance()->grab().save(QStringLiteral(SCREENSHOT_DIR "/00-splash.png"));
        QTest::qWait(300);  // the windows being created
        // Keys and clicks on the splash do not close it.
        SendKey(SplashInstance(), QEvent::KeyRelease, Qt::Key_Escape);
        SendRelease(SplashInstance(), Qt::LeftButton);
        QVERIFY(SplashInstance()->isVisible());
        HideSplash(1000);
        QVERIFY(!SplashInstance());
        QVERIFY2(wall.elapsed() >= 990, qPrintable(QString::number(wall.elapsed())));
        QVERIFY2(wall.elapsed() < 1600, qPrintable(QString::number(wall.elapsed())));

        // A start-up longer than the minimum removes the splash at once.
        ShowSplash();
        QTest::qWait(1050);
        wall.restart();
        HideSplash(1000);
        QVERIFY(wall.elapsed() < 100);
        SetTickSource(nullptr);
    }

    void AboutClosesOnEnterEscapeAndLeftClick()
    {
        QWidget owner;
        owner.show();
        // Each step runs inside the modal About box's event loop.
        const auto run = [&](std::function<void(TFRMSplash*)> act) -> bool {
            bool stillOpen = false;
            QTimer::singleShot(30, [&] {
                TFRMSplash* about = SplashInstance();
                QVERIFY(about);
                QCOMPARE(about->ShownTime, 0u);
                // A right click and other keys do not close it.
                SendRelease(about, Qt::RightButton);
                SendKey(about, QEvent::KeyPress, Qt::Key_A);
                SendKey(about, QEvent::KeyRelease, Qt::Key_A);
                SendKey(about, QEvent::KeyPress, Qt::Key_Escape);
                stillOpen = about->isVisible();
                act(about);
                if (SplashInstance() && SplashInstance()->isVisible()) SplashInstance()->done(0);
            });
            ShowAbout(&owner);
            const int result = SplashInstance() ? SplashInstance()->result() : -1;
            HideSplash(0);
            return stillOpen && result == 1 && !SplashInstance();
        };
        QVERIFY(run([](TFRMSplash* w) { SendKey(w, QEvent::KeyRelease, Qt::Key_Return); }));
        QVERIFY(run([](TFRMSplash* w) { SendKey(w, QEvent::KeyRelease, Qt::Key_Enter); }));
        QVERIFY(run([](TFRMSplash* w) { SendKey(w, QEvent::KeyRelease, Qt::Key_Escape); }));
        QVERIFY(run([](TFRMSplash* w) { SendRelease(w, Qt::LeftButton); }));
        // Not closing: the step above closes it with result 0 instead.
        QVERIFY(!run([](TFRMSplash* w) { SendRelease(w, Qt::MiddleButton); }));
    }
};

QTEST_MAIN(SplashTest)
#include "splash_test.moc"
