// TImage: the image control of the panes and windows.  It shows a working
// bitmap (Picture), at its own size and place in its parent:
// - AutoSize on: the control takes the picture's size whenever either changes;
// - Stretch on: the picture is drawn scaled to the control's size, otherwise
//   at the control's top left in picture pixels.
// Its canvas has a pen (width, inverting mode) for outlines drawn on the
// picture itself.  Mouse events reach the handlers with the button that
// changed, the buttons held, and X, Y in the control's coordinates.
#ifndef APP_IMAGECONTROL_H
#define APP_IMAGECONTROL_H

#include <QImage>
#include <QWidget>

#include <functional>

class TImage;

using TMouseEvent = std::function<void(TImage* Sender, Qt::MouseButton Button,
                                       Qt::MouseButtons Shift, int X, int Y)>;

class TImage : public QWidget {
    Q_OBJECT
    Q_PROPERTY(bool AutoSize READ AutoSize WRITE SetAutoSize)
    Q_PROPERTY(bool Stretch READ Stretch WRITE SetStretch)

public:
    explicit TImage(QWidget* Owner = nullptr);

    // The shown bitmap; after changing its pixels in place call Changed().
    QImage& Picture() { return FPicture; }
    const QImage& Picture() const { return FPicture; }
    void SetPicture(const QImage& Picture);
    void Changed();
    bool Empty() const { return FPicture.isNull() || FPicture.width() == 0 || FPicture.height() == 0; }

    bool AutoSize() const { return FAutoSize; }
    void SetAutoSize(bool Value);
    bool Stretch() const { return FStretch; }
    void SetStretch(bool Value);

    // The canvas pen: width in picture pixels and the inverting mode.
    int PenWidth() const { return FPenWidth; }
    void SetPenWidth(int Width) { FPenWidth = std::max(1, Width); }
    bool PenInverting() const { return FPenInverting; }
    void SetPenInverting(bool Value) { FPenInverting = Value; }

    // Draws the outline of the rectangle with corners (X1, Y1) and (X2, Y2)
    // on the picture with the pen centred on the rectangle's lines; in the
    // inverting mode every covered pixel is inverted exactly once, so the
    // same outline drawn again restores the pixels.  Clipped to the picture.
    void DrawOutline(int X1, int Y1, int X2, int Y2);

    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseMove;
    TMouseEvent OnMouseUp;

protected:
    void paintEvent(QPaintEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;

private:
    void ApplyAutoSize();

    QImage FPicture;
    QImage FScaled;  // the picture scaled to the control, drawn while stretched
    qint64 FScaledKey = 0;
    bool FAutoSize = false;
    bool FStretch = false;
    int FPenWidth = 1;
    bool FPenInverting = false;
};

#endif
