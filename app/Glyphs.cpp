#include "Glyphs.h"

#include <QFont>
#include <QFontMetricsF>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

const QColor kInk(0x1f, 0x3a, 0x68);
const QColor kAccent(0x2f, 0x7d, 0xd1);
const QColor kWarm(0xe8, 0x8a, 0x1a);

// The mark of the program: three stacked squares, shrinking like the
// resolution levels of a wavelet decomposition.
void DrawMark(QPainter& p, const QRectF& box)
{
    const qreal s = std::min(box.width(), box.height());
    const QPointF o = box.topLeft();
    p.setPen(Qt::NoPen);
    p.setBrush(kAccent);
    p.drawRect(QRectF(o, QSizeF(s, s)));
    p.setBrush(QColor(0x8c, 0xc3, 0xf5));
    p.drawRect(QRectF(o, QSizeF(s / 2, s / 2)));
    p.setBrush(kWarm);
    p.drawRect(QRectF(o, QSizeF(s / 4, s / 4)));
    p.setPen(QPen(Qt::white, std::max<qreal>(1, s / 40)));
    p.setBrush(Qt::NoBrush);
    p.drawLine(QPointF(o.x() + s / 2, o.y()), QPointF(o.x() + s / 2, o.y() + s));
    p.drawLine(QPointF(o.x(), o.y() + s / 2), QPointF(o.x() + s, o.y() + s / 2));
    p.drawLine(QPointF(o.x() + s / 4, o.y()), QPointF(o.x() + s / 4, o.y() + s / 2));
    p.drawLine(QPointF(o.x(), o.y() + s / 4), QPointF(o.x() + s / 2, o.y() + s / 4));
}

QFont SizedFont(int pixels, bool bold)
{
    QFont f;
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

// The largest font up to Pixels high in which Text fits Width.
QFont FittedFont(const QString& Text, int Pixels, bool Bold, qreal Width)
{
    QFont f = SizedFont(Pixels, Bold);
    while (Pixels > 6 && QFontMetricsF(f).horizontalAdvance(Text) > Width) f = SizedFont(--Pixels, Bold);
    return f;
}

}  // namespace

QImage LogoBitmap()
{
    QImage img(180, 64, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    DrawMark(p, QRectF(8, 8, 48, 48));
    p.setPen(kInk);
    p.setFont(FittedFont(QStringLiteral("JPEG 2000"), 22, true, 110));
    p.drawText(QRectF(64, 6, 112, 30), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("JPEG 2000"));
    p.setPen(kAccent);
    p.setFont(FittedFont(QStringLiteral("Compressor"), 14, false, 110));
    p.drawText(QRectF(65, 34, 112, 22), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Compressor"));
    p.end();
    return img.convertToFormat(QImage::Format_BGR888);
}

QImage SplashBitmap()
{
    QImage img(520, 316, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 0, 316);
    g.setColorAt(0, QColor(0xf7, 0xfa, 0xff));
    g.setColorAt(1, QColor(0xd8, 0xe6, 0xf7));
    p.fillRect(img.rect(), g);
    p.setPen(QPen(kInk, 2));
    p.drawRect(QRectF(1, 1, 518, 314));
    DrawMark(p, QRectF(40, 56, 144, 144));
    p.setPen(kInk);
    p.setFont(FittedFont(QStringLiteral("JPEG 2000"), 40, true, 290));
    p.drawText(QRectF(210, 60, 300, 56), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("JPEG 2000"));
    p.setPen(kAccent);
    p.setFont(SizedFont(30, false));
    p.drawText(QRectF(212, 112, 300, 44), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Compressor"));
    p.setPen(kInk);
    const QString line1 = QStringLiteral("Compress pictures into JPEG 2000");
    const QString line2 = QStringLiteral("and compare them with the original.");
    p.setFont(FittedFont(line2, 14, false, 290));
    p.drawText(QRectF(212, 166, 300, 22), Qt::AlignLeft | Qt::AlignVCenter, line1);
    p.drawText(QRectF(212, 188, 300, 22), Qt::AlignLeft | Qt::AlignVCenter, line2);
    p.setPen(QColor(0x55, 0x66, 0x80));
    p.setFont(SizedFont(12, false));
    p.drawText(QRectF(40, 260, 440, 24), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Version 0.1  \u00b7  Enter, Escape or a click closes this window"));
    p.end();
    return img.convertToFormat(QImage::Format_BGR888);
}

QIcon GlyphIcon(TGlyph Glyph)
{
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const QPen ink(kInk, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(ink);
    switch (Glyph) {
    case TGlyph::Prev:
    case TGlyph::Next: {
        QPainterPath tri;
        if (Glyph == TGlyph::Prev) {
            tri.moveTo(11.5, 3); tri.lineTo(4.5, 8); tri.lineTo(11.5, 13);
        } else {
            tri.moveTo(4.5, 3); tri.lineTo(11.5, 8); tri.lineTo(4.5, 13);
        }
        tri.closeSubpath();
        p.setBrush(kAccent);
        p.drawPath(tri);
        break;
    }
    case TGlyph::Open: {
        p.setBrush(QColor(0xf2, 0xc1, 0x4e));
        QPainterPath folder;
        folder.moveTo(1.5, 4); folder.lineTo(6, 4); folder.lineTo(7.5, 5.5);
        folder.lineTo(13.5, 5.5); folder.lineTo(13.5, 13); folder.lineTo(1.5, 13);
        folder.closeSubpath();
        p.drawPath(folder);
        break;
    }
    case TGlyph::SaveAs:
        p.setBrush(kAccent);
        p.drawRoundedRect(QRectF(2, 2, 12, 12), 1.5, 1.5);
        p.setBrush(Qt::white);
        p.setPen(Qt::NoPen);
        p.drawRect(QRectF(4.5, 2.8, 7, 4));
        p.drawRect(QRectF(5, 9.5, 6, 3.5));
        break;
    case TGlyph::About:
        p.setBrush(kAccent);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
        p.setPen(QPen(Qt::white, 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(8, 7.5), QPointF(8, 11.5));
        p.drawPoint(QPointF(8, 4.6));
        break;
    case TGlyph::Exit:
        p.setPen(QPen(QColor(0xc0, 0x30, 0x30), 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(12, 12));
        p.drawLine(QPointF(12, 4), QPointF(4, 12));
        break;
    case TGlyph::Fit:
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        p.setBrush(kAccent);
        p.setPen(Qt::NoPen);
        p.drawRect(QRectF(4, 5, 8, 6));
        break;
    case TGlyph::Center:
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        p.drawLine(QPointF(8, 3.5), QPointF(8, 12.5));
        p.drawLine(QPointF(3.5, 8), QPointF(12.5, 8));
        p.setBrush(kWarm);
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(8, 8), 2.2, 2.2);
        break;
    case TGlyph::Preview:
        p.setBrush(QColor(0xdd, 0xee, 0xff));
        p.drawEllipse(QRectF(1.5, 1.5, 9, 9));
        p.setPen(QPen(kInk, 2.4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(9.5, 9.5), QPointF(14, 14));
        break;
    case TGlyph::Difference: {
        // A frame whose inside runs from dark to hot, as the heat map does.
        QLinearGradient heat(QPointF(2, 14), QPointF(14, 2));
        heat.setColorAt(0, Qt::black);
        heat.setColorAt(0.4, QColor(0x20, 0x40, 0xe0));
        heat.setColorAt(0.7, QColor(0xe0, 0x30, 0x20));
        heat.setColorAt(1, QColor(0xff, 0xf0, 0x40));
        p.setBrush(heat);
        p.drawRect(QRectF(1.5, 1.5, 13, 13));
        break;
    }
    }
    p.end();
    return QIcon(pm);
}
