#include "CGauge.h"

#include <QPainter>

TCGauge::TCGauge(QWidget* Owner) : QWidget(Owner) {}

void TCGauge::SetPermille(int Value)
{
    Value = std::clamp(Value, 0, 1000);
    if (Value == FPermille) return;
    FPermille = Value;
    update();
}

void TCGauge::SetForeColor(const QColor& Color)
{
    FForeColor = Color;
    update();
}

void TCGauge::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QRect all = rect();
    const int filled = all.width() * FPermille / 1000;
    const QRect done(0, 0, filled, all.height());
    p.fillRect(all, Qt::white);
    p.fillRect(done, FForeColor);
    const QString text = QString::number(Progress()) + QLatin1Char('%');
    // The text is drawn twice, clipped: dark over white, white over the bar.
    p.setPen(FForeColor);
    p.setClipRect(all.adjusted(filled, 0, 0, 0));
    p.drawText(all, Qt::AlignCenter, text);
    p.setPen(Qt::white);
    p.setClipRect(done);
    p.drawText(all, Qt::AlignCenter, text);
}
