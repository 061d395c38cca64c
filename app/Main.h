// TMainF: the main window.  It keeps the picture list (paths in the order
// they were added, with their file sizes, and the current index), shows the
// current picture as loaded in the left pane (Image1 in ScrollBox1) and the
// last compression result in the right pane (Image2 in ScrollBox2), and runs
// the commands of the buttons below the panes.
//
// The controls come from Main.ui with their stored names and places; the
// window lays them out itself on resize.  The handlers keep the names of
// their control and event.  State fields are public so that tests can
// observe the window as a person sees it.
#ifndef APP_MAIN_H
#define APP_MAIN_H

#include "ui_Main.h"

#include "PictureCompare.h"

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QVector>
#include <QWidget>

#include <cstdint>
#include <utility>
#include <vector>

class TImage_IO;
class TJPEG2000_IO;
class TPre;
class TUserDialogs;

struct TPictureEntry {
    QString Path;   // as the dialog or the drop delivered it
    qint64 Size;    // bytes; 0 when the file was not found
};

class TMainF : public QWidget, public Ui::TMainF {
    Q_OBJECT

public:
    explicit TMainF(QWidget* Parent = nullptr);
    ~TMainF() override;

    // The dialogs and questions; the desktop's unless a test sets its own.
    void SetDialogs(TUserDialogs* Dialogs);

    // --- window state -----------------------------------------------------
    bool FEncoding = false;       // Compress is encoding: gauge 0..50
    bool FCancel = false;         // Cancel was pressed
    bool FSelecting = false;      // a selection is being drawn
    bool FSaving = false;         // Save As / Save All write: gauge unscaled
    bool FRightCurrent = false;   // the right pane matches picture and quality
    int32_t FLeftAnchorX = 0, FRightAnchorX = 0, FLeftAnchorY = 0, FRightAnchorY = 0;
    bool FBusy = false;           // Compress, Save As, Save All or Preview runs
    int32_t FIndex = 0;           // current index, within the list (0 when empty)
    QImage FSource;               // the current file's picture as loaded
    QVector<TPictureEntry> FList;
    TJPEG2000_IO* jp2;
    TImage_IO* FIO;               // the component, used through its base
    int32_t SelLeft = 0, SelTop = 0, SelRight = 0, SelBottom = 0;
    Qt::CursorShape FLeftCursor = Qt::ArrowCursor;
    Qt::CursorShape FRightCursor = Qt::ArrowCursor;
    TPre* Pre = nullptr;          // the preview window (made on first use if unset)
    // The code stream of the last completed Compress, the picture it was made
    // of and its encoder options: Save As writes these bytes when they match.
    QByteArray FCompressed;
    QString FCompressedPath, FCompressedOptions;
    // The right pane's own picture (the last decoded result, or the picture
    // as loaded); the difference and flicker views are drawn from it.
    QImage FRight;
    bool FDiffView = false;       // the right pane shows the difference heat map
    bool FFlicker = false;        // the space bar holds the original in the right pane
    // The error is amplified this much in the difference view.
    static constexpr int kDiffGain = 8;

    // --- operations -------------------------------------------------------
    void UpdateCaption();
    void LoadCurrentPicture();
    void SaveNavigation();
    void RestoreNavigation();
    void AskClosePictures();
    void ClearAll();
    static qint64 FileSizeOf(const QString& Path);
    void DrawSelection();
    // Appends Path unless an entry has the same path in any letter case.
    void AddPicture(const QString& Path);
    // After pictures were added by Open or a drop (the entries from FirstNew
    // on): drops those that cannot be read, naming them in one warning,
    // enables the commands that need a list and shows the current picture;
    // the first picture of a new list is shown fitted.
    void ShowAddedPictures(qsizetype FirstNew);

    // --- handlers ---------------------------------------------------------
    void FormCreate();
    bool FormCloseQuery();
    void FormConstrainedResize();
    void FormResize();
    void Button6Click();
    void ScrollBox1DropFiles(TCustomScrollBox* Sender, const QStringList& Files);
    void NextClick();
    void PrevClick();
    void Button7Click();
    void Button1Click();
    void BBAboutClick();
    void TrackBar1Change();
    void Button2Click();
    void Button4Click();
    void kveProgress(TImage_IO* Sender, int32_t PercentDone);
    void Button3Click();
    void Button5Click();
    void SpeedButton1Click();
    void SpeedButton2Click();
    void SpeedButton3Click();
    void SpeedButton4Click(QObject* Sender);
    void Image1MouseDown(Qt::MouseButton Button, Qt::MouseButtons Shift, int X, int Y);
    void Image1MouseMove(Qt::MouseButtons Shift, int X, int Y);
    void Image1MouseUp(Qt::MouseButton Button, Qt::MouseButtons Shift, int X, int Y);
    void Image2MouseDown(Qt::MouseButton Button, Qt::MouseButtons Shift, int X, int Y);
    void Image2MouseMove(Qt::MouseButtons Shift, int X, int Y);
    void Image2MouseUp(Qt::MouseButton Button, Qt::MouseButtons Shift, int X, int Y);
    void SpeedButton5Click();
    void HTJ2KClick();
    void TargetPsnrClick();
    void ScrollBox1ScrollHorz();
    void ScrollBox1ScrollVert();
    void ScrollBox2ScrollHorz();
    void ScrollBox2ScrollVert();

    // Path with the extension of its file name replaced by "." + Ext (or
    // appended when the name has no ".").
    static QString ChangeFileExt(const QString& Path, const QString& Ext);

    // The picture coordinate of a mouse coordinate in the left pane.
    int PictureCoord(int MouseCoord) const;
    // Milliseconds between two message-processing rounds of kveProgress.
    static constexpr int kProgressEventsInterval = 40;

    // The right pane: its own picture, or the difference or the original
    // while those views are on.
    void SetRightPicture(const QImage& Picture);
    void ShowRightPicture();
    void SetFlicker(bool On);
    // PSNR and SSIM of the right pane's picture against the loaded one,
    // computed on a worker thread; ClearFigures empties them and drops a
    // computation still running.
    void StartFigures();
    void ClearFigures();
    void ShowFigures(const PictureDifference& Figures);
    // Makes FHeat on a worker thread, then shows it if the view still wants it.
    void StartHeatMap();

protected:
    void closeEvent(QCloseEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void showEvent(QShowEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void SetLeftCursor(Qt::CursorShape Shape);
    void SetRightCursor(Qt::CursorShape Shape);
    void LayoutPanel2();
    void SetLabelText(QLabel* Label, const QString& Text);
    QString TempFileName() const;
    // The encoder options Compress and Save As would use for the current
    // picture now.
    QString CurrentOptions() const;
    // Enables or disables the controls that would change a running
    // operation's work (slider, Clear).
    void SetWorkControlsEnabled(bool Enabled);
    // Compress, Save As and Save All: enabled when the list has pictures.
    void EnableListCommands();

    TUserDialogs* FDialogs;
    std::vector<std::pair<bool, bool>> FSavedNavigation;  // (Next, Prev) per open pair
    QSize FFrame{-1, -1};           // outer minus client size, once known
    qint64 FLastEvents = 0;         // when kveProgress last processed events
    QString FImage1Hint, FImage2Hint;
    bool FFitNext = false;          // the next picture shown is fitted (a new list)
    QImage FPreloaded;              // a picture read while checking an Open, shown next
    QString FPreloadedPath;
    QImage FHeat;                   // the difference view of FRight, made on first use
    quint64 FHeatRun = 0;           // the heat map computation whose result counts
    bool FHeatPending = false;      // one is running for FRight
    QLabel* FLegend = nullptr;      // the difference view's legend, over the right pane
    QLabel* FCoder = nullptr;       // the status bar's note of the coder used
    quint64 FFiguresRun = 0;        // the figures computation whose result counts
    bool FOverPane = false;         // the mouse is over a pane
    bool FSettingsRead = false;     // changes are remembered from now on
    double FTargetDb = 40;          // the slider's PSNR goal while Target PSNR is on
    void PlaceOverlays();
    void SaveSetting(const QString& Key, const QVariant& Value);
};

#endif
