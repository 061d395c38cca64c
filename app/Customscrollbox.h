// TCustomScrollBox: the scroll box of the two picture panes.
//
// A QScrollArea whose content is a plain container (Content()) that holds
// child controls at any place, as a scroll box does; the content is as large
// as the viewport, or as the children's extent while a scroll bar is shown.
// Two additions: OnScrollHorz / OnScrollVert are called after the user
// scrolled (scroll bar, wheel or keys), once the content has moved, and never
// for positions set by the program; with AcceptFiles set, local files dropped
// onto the box reach OnDropFiles as full paths in the order of the drag.
#ifndef APP_CUSTOMSCROLLBOX_H
#define APP_CUSTOMSCROLLBOX_H

#include <QScrollArea>
#include <QStringList>

#include <functional>

class TCustomScrollBox;

using TScrollEvent = std::function<void(TCustomScrollBox* Sender)>;
using TDropFilesEvent = std::function<void(TCustomScrollBox* Sender, const QStringList& Files)>;

class TCustomScrollBox : public QScrollArea {
    Q_OBJECT
    Q_PROPERTY(bool AcceptFiles READ AcceptFiles WRITE SetAcceptFiles)

public:
    explicit TCustomScrollBox(QWidget* Owner = nullptr);

    TScrollEvent OnScrollHorz;
    TScrollEvent OnScrollVert;
    TDropFilesEvent OnDropFiles;

    bool AcceptFiles() const { return FAcceptFiles; }
    void SetAcceptFiles(bool Value);

    // The container of the box's controls (their parent).
    QWidget* Content() const { return FContent; }
    // Show (as needed) or hide both scroll bars.
    void SetScrollBarsVisible(bool Visible);
    bool ScrollBarsVisible() const { return FBarsVisible; }
    // The client (viewport) size: CW and CH of the viewing rules.
    int ClientWidth() const { return viewport()->width(); }
    int ClientHeight() const { return viewport()->height(); }
    // Resizes the content to the viewport or to the children's extent.
    void UpdateRange();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    bool viewportEvent(QEvent* Event) override;
    void dragEnterEvent(QDragEnterEvent* Event) override;
    void dragMoveEvent(QDragMoveEvent* Event) override;
    void dropEvent(QDropEvent* Event) override;

private:
    void UserAction(Qt::Orientation Direction);

    QWidget* FContent;
    bool FAcceptFiles = false;
    bool FBarsVisible = true;
    bool FUpdating = false;
};

#endif
