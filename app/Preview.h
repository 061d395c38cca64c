// TPre: the preview window, a sizeable tool window that shows the selected
// area of the right pane's picture, stretched to its image; the user sets
// the width and the height follows the picture's aspect ratio.  Escape or
// the close box hide it.
#ifndef APP_PREVIEW_H
#define APP_PREVIEW_H

#include "ui_Preview.h"

#include <QWidget>

class TPre : public QWidget, public Ui::TPre {
    Q_OBJECT

public:
    explicit TPre(QWidget* Owner = nullptr);

    // Width / height of the preview picture: 0 at creation, 1.0 after closing.
    double AspectRatio = 0;

    // Sets the client width, then the client height (the resize rule applies).
    void SetClientSize(int Width, int Height);
    void FormResize();

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void keyPressEvent(QKeyEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;
};

#endif
