#include "Preview.h"

#include <QCloseEvent>
#include <QKeyEvent>

TPre::TPre(QWidget* Owner) : QWidget(Owner, Qt::Tool)
{
    setupUi(this);
    Image1->SetStretch(true);
}

void TPre::SetClientSize(int Width, int Height)
{
    resize(Width, height());
    FormResize();
    resize(width(), Height);
    FormResize();
}

void TPre::FormResize()
{
    // Without a picture there is no ratio to keep (and no division by 0).
    if (!(AspectRatio > 0)) return;
    const int w = width();
    const int h = static_cast<int>(w / AspectRatio);
    Image1->setGeometry(0, 0, w, h);
    if (height() != h) resize(w, h);
}

void TPre::resizeEvent(QResizeEvent* Event)
{
    QWidget::resizeEvent(Event);
    FormResize();
}

void TPre::keyPressEvent(QKeyEvent* Event)
{
    if (Event->key() == Qt::Key_Escape)
        close();
    else
        QWidget::keyPressEvent(Event);
}

void TPre::closeEvent(QCloseEvent* Event)
{
    AspectRatio = 1.0;
    QWidget::closeEvent(Event);
}
