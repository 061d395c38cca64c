// TFRMSplash: the borderless picture window shown as the splash at start-up
// (ShowSplash ... HideSplash(1000)) and as the modal About box (ShowAbout).
// One instance at most exists; the module keeps the reference.
#ifndef APP_SPLASH_H
#define APP_SPLASH_H

#include <QDialog>
#include <QImage>

#include <cstdint>

class TFRMSplash : public QDialog {
    Q_OBJECT

public:
    explicit TFRMSplash(QWidget* Owner = nullptr);

    // When the instance was shown as the splash (tick count), 0 otherwise.
    uint32_t ShownTime = 0;
    const QImage& Image() const { return FImage; }

protected:
    void paintEvent(QPaintEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void keyReleaseEvent(QKeyEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    void FormCreate();
    void SetModalResult(int Result);

    QImage FImage;
};

// The 32-bit millisecond tick count of a monotonic clock (it wraps).
uint32_t TickCount();
// Replaces the clock (tests); nullptr restores the monotonic clock.
void SetTickSource(uint32_t (*Source)());

// Milliseconds still to wait for a splash shown at Shown to have been on
// screen for Minimum at Now, in 32-bit arithmetic (right across a wrap).
uint32_t SplashRemaining(uint32_t Now, uint32_t Shown, uint32_t Minimum);

// Creates the instance without owner if there is none, shows it, paints it
// and notes the tick count.
void ShowSplash();
// Waits (dispatching events) until the instance has been shown for Minimum
// milliseconds or the application quits, then destroys it.
void HideSplash(uint32_t Minimum);
// Shows a new instance modally over Owner, unless one exists.
void ShowAbout(QWidget* Owner);
// The instance, or nullptr.
TFRMSplash* SplashInstance();

#endif
