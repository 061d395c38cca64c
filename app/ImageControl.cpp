#include "ImageControl.h"

#include <QMouseEvent>
#include <QPainter>

TImage::TImage(QWidget* Owner) : QWidget(Owner)
{
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

void TImage::SetPicture(const QImage& Picture)
{
    FPicture = Picture;
    Changed();
}

void TImage::Changed()
{
    ApplyAutoSize();
    update();
}

void TImage::SetAutoSize(bool Value)
{
    FAutoSize = Value;
    ApplyAutoSize();
}

void TImage::SetStretch(bool Value)
{
    if (FStretch == Value) return;
    FStretch = Value;
    update();
}

void TImage::ApplyAutoSize()
{
    if (FAutoSize && !Empty() && size() != FPicture.size()) resize(FPicture.size());
}

void TImage::DrawOutline(int X1, int Y1, int X2, int Y2)
{
    if (Empty()) return;
    const int x0 = std::min(X1, X2), x1 = std::max(X1, X2);
    const int y0 = std::min(Y1, Y2), y1 = std::max(Y1, Y2);
    const int a = FPenWidth / 2, b = (FPenWidth - 1) / 2;
    // The pen covers the ring between the outer box and the inner box.
    const int ox0 = x0 - a, ox1 = x1 + b, oy0 = y0 - a, oy1 = y1 + b;
    const int ix0 = x0 + b + 1, ix1 = x1 - a - 1, iy0 = y0 + b + 1, iy1 = y1 - a - 1;
    const int w = FPicture.width(), h = FPicture.height();
    const int cx0 = std::max(ox0, 0), cx1 = std::min(ox1, w - 1);
    const int cy0 = std::max(oy0, 0), cy1 = std::min(oy1, h - 1);
    if (cx0 > cx1 || cy0 > cy1) return;
    if (FPicture.format() != QImage::Format_BGR888) FPicture.convertTo(QImage::Format_BGR888);
    const auto invert = [&](uchar* row, int from, int to) {
        from = std::max(from, cx0);
        to = std::min(to, cx1);
        if (FPenInverting) {
            for (uchar *p = row + 3 * from, *end = row + 3 * (to + 1); p < end; ++p) *p = ~*p;
        } else {
            std::fill(row + 3 * from, row + 3 * (to + 1), uchar(0));
        }
    };
    for (int y = cy0; y <= cy1; ++y) {
        uchar* row = FPicture.scanLine(y);
        if (y < iy0 || y > iy1 || ix0 > ix1) {
            invert(row, cx0, cx1);
        } else {
            invert(row, cx0, ix0 - 1);
            invert(row, ix1 + 1, cx1);
        }
    }
    update();
}

void TImage::paintEvent(QPaintEvent* Event)
{
    if (Empty()) return;
    QPainter p(this);
    if (!FStretch) {
        p.drawImage(Event->rect().topLeft(), FPicture, Event->rect());
        return;
    }
    if (FScaled.size() != size() || FScaledKey != FPicture.cacheKey()) {
        FScaled = FPicture.scaled(size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        FScaledKey = FPicture.cacheKey();
    }
    p.drawImage(Event->rect().topLeft(), FScaled, Event->rect());
}

void TImage::mousePressEvent(QMouseEvent* Event)
{
    const QPoint at = Event->position().toPoint();
    if (OnMouseDown) OnMouseDown(this, Event->button(), Event->buttons(), at.x(), at.y());
}

void TImage::mouseMoveEvent(QMouseEvent* Event)
{
    const QPoint at = Event->position().toPoint();
    if (OnMouseMove) OnMouseMove(this, Qt::NoButton, Event->buttons(), at.x(), at.y());
}

void TImage::mouseReleaseEvent(QMouseEvent* Event)
{
    const QPoint at = Event->position().toPoint();
    if (OnMouseUp) OnMouseUp(this, Event->button(), Event->buttons(), at.x(), at.y());
}
