#include "Splash.h"

#include "Glyphs.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>

namespace {

TFRMSplash* gSplash = nullptr;
bool gModal = false;  // the instance runs as the modal About box

uint32_t MonotonicTicks()
{
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return static_cast<uint32_t>(clock.msecsSinceReference());
}

uint32_t (*gTickSource)() = MonotonicTicks;

}  // namespace

uint32_t TickCount() { return gTickSource(); }

void SetTickSource(uint32_t (*Source)()) { gTickSource = Source ? Source : MonotonicTicks; }

uint32_t SplashRemaining(uint32_t Now, uint32_t Shown, uint32_t Minimum)
{
    const uint32_t elapsed = Now - Shown;  // modulo 2^32: right across a wrap
    return elapsed < Minimum ? Minimum - elapsed : 0;
}

TFRMSplash::TFRMSplash(QWidget* Owner)
    : QDialog(Owner, Qt::FramelessWindowHint | (Owner ? Qt::Dialog : Qt::SplashScreen))
{
    setObjectName(QStringLiteral("FRMSplash"));
    FImage = SplashBitmap();
    FormCreate();
}

void TFRMSplash::FormCreate()
{
    setFixedSize(FImage.size());
}

void TFRMSplash::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.drawImage(0, 0, FImage);
}

void TFRMSplash::SetModalResult(int Result)
{
    // Only the modal About box closes; the splash notes the result.
    if (gModal && gSplash == this)
        done(Result);
    else
        setResult(Result);
}

void TFRMSplash::keyPressEvent(QKeyEvent* Event)
{
    // Enter and Escape act on release; nothing else acts on keys.
    Event->accept();
}

void TFRMSplash::keyReleaseEvent(QKeyEvent* Event)
{
    const int key = Event->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) SetModalResult(1);
    Event->accept();
}

void TFRMSplash::mouseReleaseEvent(QMouseEvent* Event)
{
    if (Event->button() == Qt::LeftButton) SetModalResult(1);
    Event->accept();
}

TFRMSplash* SplashInstance() { return gSplash; }

void ShowSplash()
{
    if (!gSplash) gSplash = new TFRMSplash(nullptr);
    gSplash->show();
    gSplash->repaint();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    gSplash->ShownTime = TickCount();
}

void HideSplash(uint32_t Minimum)
{
    if (gSplash) {
        const uint32_t remaining = SplashRemaining(TickCount(), gSplash->ShownTime, Minimum);
        if (remaining > 0) {
            QEventLoop loop;
            QTimer timer;
            timer.setSingleShot(true);
            // A coarse timer may fire up to 5 % early, which would cut the
            // minimum short.
            timer.setTimerType(Qt::PreciseTimer);
            QObject::connect(&timer, &QTimer::timeout, &loop, &QEventLoop::quit);
            QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, &loop,
                             &QEventLoop::quit);
            timer.start(static_cast<int>(std::min<uint32_t>(remaining, INT32_MAX)));
            loop.exec();
        }
    }
    delete gSplash;
    gSplash = nullptr;
}

void ShowAbout(QWidget* Owner)
{
    if (gSplash) return;
    gSplash = new TFRMSplash(Owner);
    gSplash->ShownTime = 0;
    gModal = true;
    gSplash->exec();
    gModal = false;
}
