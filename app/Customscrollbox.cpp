#include "Customscrollbox.h"

#include <QChildEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QScrollBar>
#include <QUrl>

namespace {

// The local files of a drag, in the drag's order; empty when it carries none.
QStringList LocalFiles(const QMimeData* Data)
{
    QStringList files;
    if (!Data || !Data->hasUrls()) return files;
    for (const QUrl& url : Data->urls())
        if (url.isLocalFile()) files.append(url.toLocalFile());
    return files;
}

}  // namespace

TCustomScrollBox::TCustomScrollBox(QWidget* Owner) : QScrollArea(Owner)
{
    FContent = new QWidget;
    FContent->installEventFilter(this);
    setWidget(FContent);
    setWidgetResizable(false);
    setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // The user's own scrolling: the slider actions (bar, wheel, keys).  The
    // action is reported before the value changes, so the value is applied
    // here first; the area scrolls the content on the change.
    connect(horizontalScrollBar(), &QAbstractSlider::actionTriggered, this,
            [this](int) { UserAction(Qt::Horizontal); });
    connect(verticalScrollBar(), &QAbstractSlider::actionTriggered, this,
            [this](int) { UserAction(Qt::Vertical); });
    UpdateRange();
}

void TCustomScrollBox::UserAction(Qt::Orientation Direction)
{
    QScrollBar* bar = Direction == Qt::Horizontal ? horizontalScrollBar() : verticalScrollBar();
    bar->setValue(bar->sliderPosition());
    const TScrollEvent& handler = Direction == Qt::Horizontal ? OnScrollHorz : OnScrollVert;
    if (handler) handler(this);
}

void TCustomScrollBox::SetAcceptFiles(bool Value)
{
    FAcceptFiles = Value;
    setAcceptDrops(Value);
    viewport()->setAcceptDrops(Value);
}

void TCustomScrollBox::SetScrollBarsVisible(bool Visible)
{
    FBarsVisible = Visible;
    const Qt::ScrollBarPolicy policy = Visible ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff;
    setHorizontalScrollBarPolicy(policy);
    setVerticalScrollBarPolicy(policy);
    UpdateRange();
}

void TCustomScrollBox::UpdateRange()
{
    if (FUpdating) return;
    FUpdating = true;
    // Showing or hiding a bar changes the viewport, which may change the
    // content size and the other bar: repeat until the viewport settles.
    for (int round = 0; round < 3; ++round) {
        const QSize client = viewport()->size();
        int w = client.width();
        int h = client.height();
        if (FBarsVisible) {
            for (QObject* o : FContent->children()) {
                auto* child = qobject_cast<QWidget*>(o);
                if (!child || child->isHidden()) continue;
                w = std::max(w, child->x() + child->width());
                h = std::max(h, child->y() + child->height());
            }
        }
        if (FContent->size() != QSize(w, h)) FContent->resize(w, h);
        // The area shows or hides its bars in a queued call; run it now so
        // that the client size is right when this returns.
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
        if (viewport()->size() == client) break;
    }
    FUpdating = false;
}

bool TCustomScrollBox::eventFilter(QObject* Watched, QEvent* Event)
{
    if (Watched == FContent && Event->type() == QEvent::ChildAdded) {
        auto* child = qobject_cast<QWidget*>(static_cast<QChildEvent*>(Event)->child());
        if (child) child->installEventFilter(this);
    } else if (Watched != FContent && Watched->parent() == FContent &&
               (Event->type() == QEvent::Move || Event->type() == QEvent::Resize ||
                Event->type() == QEvent::Show || Event->type() == QEvent::Hide)) {
        UpdateRange();
    }
    return QScrollArea::eventFilter(Watched, Event);
}

bool TCustomScrollBox::viewportEvent(QEvent* Event)
{
    const bool handled = QScrollArea::viewportEvent(Event);
    if (Event->type() == QEvent::Resize) UpdateRange();
    return handled;
}

void TCustomScrollBox::dragEnterEvent(QDragEnterEvent* Event)
{
    if (FAcceptFiles && !LocalFiles(Event->mimeData()).isEmpty())
        Event->acceptProposedAction();
    else
        Event->ignore();
}

void TCustomScrollBox::dragMoveEvent(QDragMoveEvent* Event)
{
    if (FAcceptFiles && !LocalFiles(Event->mimeData()).isEmpty())
        Event->acceptProposedAction();
    else
        Event->ignore();
}

void TCustomScrollBox::dropEvent(QDropEvent* Event)
{
    const QStringList files = LocalFiles(Event->mimeData());
    if (!FAcceptFiles || files.isEmpty()) {
        Event->ignore();
        return;
    }
    Event->acceptProposedAction();
    if (OnDropFiles) OnDropFiles(this, files);
}
