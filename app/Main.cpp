#include "Main.h"

#include "Exceptions.h"
#include "Glyphs.h"
#include "Image_io.h"
#include "Jpeg2000_io.h"
#include "Jpeg2000_params.h"
#include "PictureLoader.h"
#include "Preview.h"
#include "Splash.h"
#include "UserDialogs.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFutureWatcher>
#include <QKeyEvent>
#include <QPainter>
#include <QSettings>
#include <QShortcut>
#include <QtConcurrent/QtConcurrentRun>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScreen>
#include <QSaveFile>
#include <QScrollBar>
#include <QTemporaryFile>

#include <cmath>

namespace {

const char* const kOpenFilter =
    "All (*.jpg *.jpe *.jpeg *.bmp *.png *.tif *.tiff *.j2k *.j2c *.jpc *.jp2);;"
    "JPEG Image File (*.jpg *.jpe *.jpeg);;Bitmaps (*.bmp);;PNG (*.png);;TIFF (*.tif *.tiff);;"
    "JPEG 2000 (*.j2k *.j2c *.jpc *.jp2)";

// Runs a clean-up when the scope ends, also when an exception passes.
template <class F>
struct TFinally {
    F f;
    ~TFinally() { f(); }
};
template <class F>
TFinally(F) -> TFinally<F>;

qint64 NowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid()) clock.start();
    return clock.elapsed();
}

// The stored width of Panel2; the anchored controls keep their distance
// from its right edge or stretch with it.
constexpr int kPanel2Width = 586;

}  // namespace

TMainF::TMainF(QWidget* Parent) : QWidget(Parent), FDialogs(DesktopDialogs())
{
    setupUi(this);
    // The images live in their scroll boxes' content.
    Image1->setParent(ScrollBox1->Content());
    Image2->setParent(ScrollBox2->Content());
    Image1->move(0, 0);
    Image2->move(0, 0);
    Image1->show();
    Image2->show();
    ILogo->SetPicture(LogoBitmap());

    SpeedButton1->setIcon(GlyphIcon(TGlyph::Fit));
    SpeedButton2->setIcon(GlyphIcon(TGlyph::Center));
    SpeedButton4->setIcon(GlyphIcon(TGlyph::Preview));
    SpeedButton5->setIcon(GlyphIcon(TGlyph::Difference));
    Prev->setIcon(GlyphIcon(TGlyph::Prev));
    Next->setIcon(GlyphIcon(TGlyph::Next));
    Button6->setIcon(GlyphIcon(TGlyph::Open));
    Button3->setIcon(GlyphIcon(TGlyph::SaveAs));
    BBAbout->setIcon(GlyphIcon(TGlyph::About));
    Button1->setIcon(GlyphIcon(TGlyph::Exit));
    for (QAbstractButton* b : {static_cast<QAbstractButton*>(Prev), static_cast<QAbstractButton*>(Next),
                               static_cast<QAbstractButton*>(Button6), static_cast<QAbstractButton*>(Button3),
                               static_cast<QAbstractButton*>(BBAbout), static_cast<QAbstractButton*>(Button1)})
        b->setIconSize(QSize(16, 16));
    Button4->setShortcut(QKeySequence(Qt::Key_Escape));
    StatusBar1->setSizeGripEnabled(false);

    // The I/O component with its stored values, applied in their order.
    jp2 = new TJPEG2000_IO(this);
    jp2->setObjectName(QStringLiteral("jp2"));
    jp2->SetQuality(11);
    jp2->SetMBPP(0.125);
    jp2->SetOnProgress([this](TImage_IO* s, int32_t p) { kveProgress(s, p); });
    // Code streams and JP2 files open through the project's own decoder.
    SetCodeStreamDecoder(J2000LoadPicture);

    // Construction.
    FIndex = 0;
    for (QWidget* c : {static_cast<QWidget*>(Prev), static_cast<QWidget*>(Next),
                       static_cast<QWidget*>(Button2), static_cast<QWidget*>(Button3),
                       static_cast<QWidget*>(Button5), static_cast<QWidget*>(Button7),
                       static_cast<QWidget*>(SpeedButton2), static_cast<QWidget*>(SpeedButton3),
                       static_cast<QWidget*>(SpeedButton1), static_cast<QWidget*>(SpeedButton4),
                       static_cast<QWidget*>(SpeedButton5)})
        c->setEnabled(false);
    FEncoding = FCancel = false;
    FIO = jp2;
    FSavedNavigation.clear();
    SelLeft = SelTop = SelRight = SelBottom = 0;
    FSelecting = FBusy = FSaving = FRightCurrent = false;

    // Events.
    connect(Button6, &QPushButton::clicked, this, [this] { Button6Click(); });
    connect(Next, &QPushButton::clicked, this, [this] { NextClick(); });
    connect(Prev, &QPushButton::clicked, this, [this] { PrevClick(); });
    connect(Button7, &QPushButton::clicked, this, [this] { Button7Click(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(BBAbout, &QPushButton::clicked, this, [this] { BBAboutClick(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Button5, &QPushButton::clicked, this, [this] { Button5Click(); });
    connect(TrackBar1, &QSlider::valueChanged, this, [this] { TrackBar1Change(); });
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(SpeedButton2, &QToolButton::clicked, this, [this] { SpeedButton2Click(); });
    connect(SpeedButton3, &QToolButton::clicked, this, [this] { SpeedButton3Click(); });
    connect(SpeedButton4, &QToolButton::clicked, this, [this] { SpeedButton4Click(SpeedButton4); });
    connect(SpeedButton5, &QToolButton::toggled, this, [this] { SpeedButton5Click(); });
    connect(HTJ2K, &QCheckBox::clicked, this, [this] { HTJ2KClick(); });
    connect(TargetPsnr, &QCheckBox::clicked, this, [this] { TargetPsnrClick(); });
    connect(new QShortcut(QKeySequence(Qt::Key_D), this), &QShortcut::activated, this, [this] {
        if (SpeedButton5->isEnabled()) SpeedButton5->toggle();
    });
    // The space bar is watched wherever the focus is, while the mouse is
    // over a pane.
    qApp->installEventFilter(this);
    FLegend = new QLabel(ScrollBox2);
    FLegend->setObjectName(QStringLiteral("DiffLegend"));
    FLegend->hide();
    FCoder = new QLabel(StatusBar1);
    FCoder->setObjectName(QStringLiteral("Coder"));
    StatusBar1->addPermanentWidget(FCoder);
    ScrollBox1->OnDropFiles = [this](TCustomScrollBox* s, const QStringList& f) { ScrollBox1DropFiles(s, f); };
    ScrollBox1->OnScrollHorz = [this](TCustomScrollBox*) { ScrollBox1ScrollHorz(); };
    ScrollBox1->OnScrollVert = [this](TCustomScrollBox*) { ScrollBox1ScrollVert(); };
    ScrollBox2->OnScrollHorz = [this](TCustomScrollBox*) { ScrollBox2ScrollHorz(); };
    ScrollBox2->OnScrollVert = [this](TCustomScrollBox*) { ScrollBox2ScrollVert(); };
    Image1->OnMouseDown = [this](TImage*, Qt::MouseButton b, Qt::MouseButtons s, int x, int y) { Image1MouseDown(b, s, x, y); };
    Image1->OnMouseMove = [this](TImage*, Qt::MouseButton, Qt::MouseButtons s, int x, int y) { Image1MouseMove(s, x, y); };
    Image1->OnMouseUp = [this](TImage*, Qt::MouseButton b, Qt::MouseButtons s, int x, int y) { Image1MouseUp(b, s, x, y); };
    Image2->OnMouseDown = [this](TImage*, Qt::MouseButton b, Qt::MouseButtons s, int x, int y) { Image2MouseDown(b, s, x, y); };
    Image2->OnMouseMove = [this](TImage*, Qt::MouseButton, Qt::MouseButtons s, int x, int y) { Image2MouseMove(s, x, y); };
    Image2->OnMouseUp = [this](TImage*, Qt::MouseButton b, Qt::MouseButtons s, int x, int y) { Image2MouseUp(b, s, x, y); };

    FormConstrainedResize();
    FormCreate();
    FormResize();

    // The remembered quality and coder.
    const QSettings settings;
    const double quality = settings.value(QStringLiteral("Quality"), FIO->Quality()).toDouble();
    if (quality >= 0 && quality <= 100) TrackBar1->setValue(static_cast<int>(quality * 10 + 0.5));
    HTJ2K->setChecked(settings.value(QStringLiteral("HTJ2K"), false).toBool());
    jp2->SetHighThroughput(HTJ2K->isChecked());
    const double db = settings.value(QStringLiteral("TargetDb"), FTargetDb).toDouble();
    if (db >= 20 && db <= 60) FTargetDb = db;
    TargetPsnr->setChecked(settings.value(QStringLiteral("TargetPsnr"), false).toBool());
    TargetPsnrClick();
    FSettingsRead = true;
}

void TMainF::TargetPsnrClick()
{
    // The slider asks for dB (20 to 60) or for the quality, each kept.
    const bool on = TargetPsnr->isChecked();
    {
        const QSignalBlocker quiet(TrackBar1);
        TrackBar1->setRange(on ? 200 : 1, on ? 600 : 1000);
        TrackBar1->setValue(static_cast<int>((on ? FTargetDb : FIO->Quality()) * 10 + 0.5));
    }
    Label1->setText(on ? QStringLiteral("PSNR dB") : QStringLiteral("Quality"));
    jp2->SetTargetPsnr(on ? FTargetDb : 0);
    QL->setText(QString::asprintf("%2.1f", on ? FTargetDb : FIO->Quality()));
    FRightCurrent = false;
    SaveSetting(QStringLiteral("TargetPsnr"), on);
}

void TMainF::SaveSetting(const QString& Key, const QVariant& Value)
{
    if (FSettingsRead) QSettings().setValue(Key, Value);
}

void TMainF::HTJ2KClick()
{
    jp2->SetHighThroughput(HTJ2K->isChecked());
    FRightCurrent = false;
    SaveSetting(QStringLiteral("HTJ2K"), HTJ2K->isChecked());
}

TMainF::~TMainF()
{
    jp2->SetOnProgress(nullptr);
}

void TMainF::SetDialogs(TUserDialogs* Dialogs) { FDialogs = Dialogs ? Dialogs : DesktopDialogs(); }

void TMainF::FormCreate()
{
    FIO->SetQuality(20);
    TrackBar1->setValue(static_cast<int>(FIO->Quality() * 10));
    FImage1Hint = QStringLiteral("Hold left mouse button for select preview area\r\nor right button for picture draging");
    FImage2Hint = QStringLiteral("Hold right mouse button for picture draging");
    ClearAll();
}

void TMainF::ClearAll()
{
    FList.clear();
    StatusBar1->showMessage(QString());
    FIndex = 0;
    FSavedNavigation.clear();
    FSelecting = FBusy = FSaving = FRightCurrent = false;
    SelLeft = SelTop = SelRight = SelBottom = 0;
    const QImage empty;
    FIO->SetAttachedBitmap(&empty);
    FSource = QImage();
    Image1->SetPicture(QImage());
    SpeedButton5->setChecked(false);
    SetRightPicture(QImage());
    Image1->resize(100, 100);
    Image2->resize(100, 100);
    ScrollBox1->SetScrollBarsVisible(false);
    ScrollBox2->SetScrollBarsVisible(false);
    // No picture: nothing to describe.
    SetLabelText(OSize, QString());
    SetLabelText(CSize, QString());
    SetLabelText(Ratio, QString());
    ClearFigures();
    FCompressed.clear();
    FCompressedPath.clear();
    FCompressedOptions.clear();
    FPreloaded = QImage();
    FPreloadedPath.clear();
    FFitNext = false;
    UpdateCaption();
    Image1->SetPicture(ILogo->Picture());
    SetRightPicture(ILogo->Picture());
    SpeedButton1Click();
    for (QWidget* c : {static_cast<QWidget*>(SpeedButton1), static_cast<QWidget*>(SpeedButton2),
                       static_cast<QWidget*>(SpeedButton3), static_cast<QWidget*>(SpeedButton4),
                       static_cast<QWidget*>(SpeedButton5),
                       static_cast<QWidget*>(Prev), static_cast<QWidget*>(Next),
                       static_cast<QWidget*>(Button2), static_cast<QWidget*>(Button3),
                       static_cast<QWidget*>(Button5), static_cast<QWidget*>(Button7)})
        c->setEnabled(false);
    Image1->setToolTip(QString());
    Image2->setToolTip(QString());
}

void TMainF::UpdateCaption()
{
    if (FList.isEmpty())
        setWindowTitle(QStringLiteral("JPEG 2000 Comressor"));
    else
        setWindowTitle(QStringLiteral("JPEG 2000 Comressor [ %1 of %2 ]").arg(FIndex + 1).arg(FList.size()));
}

qint64 TMainF::FileSizeOf(const QString& Path)
{
    const QFileInfo info(Path);
    return info.exists() ? info.size() : 0;
}

void TMainF::AddPicture(const QString& Path)
{
    for (const TPictureEntry& e : FList)
        if (e.Path.compare(Path, Qt::CaseInsensitive) == 0) return;
    FList.append({Path, FileSizeOf(Path)});
}

void TMainF::SetLabelText(QLabel* Label, const QString& Text)
{
    // Labels size themselves to their text; their height stays.
    Label->setText(Text);
    Label->resize(Label->sizeHint().width(), Label->height());
}

void TMainF::LoadCurrentPicture()
{
    if (FList.isEmpty()) return;
    FIndex = std::clamp<int32_t>(FIndex, 0, FList.size() - 1);
    DrawSelection();
    SelLeft = SelTop = SelRight = SelBottom = 0;
    try {
        const TPictureEntry entry = FList[FIndex];
        const QImage preloaded = entry.Path == FPreloadedPath ? FPreloaded : QImage();
        FPreloaded = QImage();
        FPreloadedPath.clear();
        FSource = preloaded.isNull() ? LoadPicture(entry.Path) : preloaded;
        FCompressed.clear();
        SetLabelText(Ratio, QString());
        ClearFigures();
        Image1->resize(100, 100);
        Image2->resize(100, 100);
        Image1->SetPicture(QImage());
        SetRightPicture(QImage());
        Image1->SetPicture(FSource);
        SetRightPicture(FSource);
        Image1->SetPenInverting(true);
        FIO->SetAttachedBitmap(&FSource);
        SetLabelText(OSize, QString::fromStdString(J2000SizeText(entry.Size)));
        StatusBar1->showMessage(entry.Path);
        Button7->setEnabled(true);
        if (FFitNext) {
            // The first picture of a new list: fitted, as the window starts.
            FFitNext = false;
            SpeedButton1Click();
        } else if (SpeedButton3->isEnabled())
            SpeedButton3Click();
        else if (SpeedButton2->isEnabled())
            SpeedButton2Click();
        else
            SpeedButton1Click();
        SetLabelText(CSize, OSize->text());
        FRightCurrent = true;
        UpdateCaption();
    } catch (const Exception& e) {
        // The picture cannot be shown (it was readable when opened): it
        // leaves the list, named in the status bar.
        StatusBar1->showMessage(QStringLiteral("Cannot read %1: %2")
                                    .arg(QDir::toNativeSeparators(FList[FIndex].Path), e.Message()));
        FList.removeAt(FIndex);
        if (FIndex != 0) --FIndex;
        if (FIndex == 0) {
            Prev->setEnabled(false);
            if (FList.size() <= 1) Next->setEnabled(false);
        }
        if (FIndex == FList.size() - 1) Next->setEnabled(false);
        if (FList.isEmpty()) SpeedButton2->setEnabled(false);
        UpdateCaption();
    }
}

void TMainF::SaveNavigation()
{
    FSavedNavigation.emplace_back(Next->isEnabled(), Prev->isEnabled());
    Next->setEnabled(false);
    Prev->setEnabled(false);
}

void TMainF::RestoreNavigation()
{
    std::pair<bool, bool> saved{false, false};
    if (!FSavedNavigation.empty()) {
        saved = FSavedNavigation.back();
        FSavedNavigation.pop_back();
    }
    Next->setEnabled(saved.first);
    Prev->setEnabled(saved.second);
}

void TMainF::AskClosePictures()
{
    activateWindow();
    raise();
    if (FDialogs->AskYesNo(this, QStringLiteral("Confirmation"), QStringLiteral("Close opened pictures?")))
        ClearAll();
}

void TMainF::Button6Click()
{
    for (QWidget* c : {static_cast<QWidget*>(Button2), static_cast<QWidget*>(Button1),
                       static_cast<QWidget*>(Button3), static_cast<QWidget*>(Button5),
                       static_cast<QWidget*>(Button6)})
        c->setEnabled(false);
    TFinally restore{[this] {
        Button1->setEnabled(true);
        Button6->setEnabled(true);
        EnableListCommands();
    }};
    FDialogs->Folder = QSettings().value(QStringLiteral("Folder")).toString();
    const QStringList files = FDialogs->OpenPictures(this, QStringLiteral("Open Picture"), QString::fromLatin1(kOpenFilter));
    if (!files.isEmpty()) SaveSetting(QStringLiteral("Folder"), QFileInfo(files.first()).absolutePath());
    const qsizetype first = FList.size();
    for (const QString& f : files) AddPicture(f);
    ShowAddedPictures(first);
    Image1->setToolTip(FImage1Hint);
    Image2->setToolTip(FImage2Hint);
}

void TMainF::EnableListCommands()
{
    for (QWidget* c : {static_cast<QWidget*>(Button2), static_cast<QWidget*>(Button3),
                       static_cast<QWidget*>(Button5)})
        c->setEnabled(!FList.isEmpty());
}

void TMainF::SetWorkControlsEnabled(bool Enabled)
{
    TrackBar1->setEnabled(Enabled);
    HTJ2K->setEnabled(Enabled);
    TargetPsnr->setEnabled(Enabled);
    Button7->setEnabled(Enabled && !FList.isEmpty());
}

void TMainF::ShowAddedPictures(qsizetype FirstNew)
{
    // Each new file is read once now: those that cannot be read leave the
    // list and are named together.  The first picture of a new list is kept
    // for showing it.
    QStringList unreadable;
    {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        TFinally restore{[] { QGuiApplication::restoreOverrideCursor(); }};
        for (qsizetype i = FirstNew; i < FList.size();) {
            try {
                QImage picture = LoadPicture(FList[i].Path);
                if (FirstNew == 0 && FPreloadedPath.isEmpty()) {
                    FPreloaded = std::move(picture);
                    FPreloadedPath = FList[i].Path;
                }
                ++i;
            } catch (const Exception& e) {
                unreadable << QDir::toNativeSeparators(FList[i].Path) + QStringLiteral(": ") + e.Message();
                FList.removeAt(i);
            }
        }
    }
    if (!unreadable.isEmpty())
        FDialogs->Warn(this, QStringLiteral("Pictures not opened"),
                       QStringLiteral("These files cannot be read:\n") + unreadable.join(QLatin1Char('\n')));
    if (!FList.isEmpty()) {
        FFitNext = FirstNew == 0;
        if (FList.size() > 1) Next->setEnabled(true);
        SpeedButton2->setEnabled(true);
        SpeedButton1->setEnabled(true);
        SpeedButton5->setEnabled(true);
        Button3->setEnabled(true);
        Button5->setEnabled(true);
        LoadCurrentPicture();
        UpdateCaption();
    }
}

void TMainF::ScrollBox1DropFiles(TCustomScrollBox*, const QStringList& Files)
{
    // A running operation is not disturbed: drops wait for it to end.
    if (FBusy) return;
    AskClosePictures();
    const qsizetype first = FList.size();
    for (const QString& f : Files) AddPicture(f);
    ShowAddedPictures(first);
    EnableListCommands();
    activateWindow();
    raise();
}

void TMainF::NextClick()
{
    if (FIndex + 1 >= FList.size()) return;
    ++FIndex;
    LoadCurrentPicture();
    // The buttons follow the position, also after a failed load moved it.
    Next->setEnabled(FIndex < FList.size() - 1);
    Prev->setEnabled(FIndex > 0);
}

void TMainF::PrevClick()
{
    if (FIndex <= 0) return;
    --FIndex;
    LoadCurrentPicture();
    Prev->setEnabled(FIndex > 0);
    Next->setEnabled(FIndex < FList.size() - 1);
}

void TMainF::Button7Click()
{
    if (FBusy) return;
    AskClosePictures();
}

void TMainF::Button1Click()
{
    if (!FBusy) close();
}

bool TMainF::FormCloseQuery() { return !FBusy; }

void TMainF::closeEvent(QCloseEvent* Event)
{
    if (FormCloseQuery())
        Event->accept();
    else
        Event->ignore();
}

void TMainF::BBAboutClick()
{
    ShowAbout(this);
    HideSplash(0);
}

// --- slider, Compress, Cancel, progress --------------------------------------

void TMainF::TrackBar1Change()
{
    const int p = TrackBar1->value();
    if (TargetPsnr->isChecked()) {
        FTargetDb = p * 0.1;
        jp2->SetTargetPsnr(FTargetDb);
        FRightCurrent = false;
        QL->setText(QString::asprintf("%2.1f", FTargetDb));
        SaveSetting(QStringLiteral("TargetDb"), FTargetDb);
        return;
    }
    const double q = static_cast<double>(p * 0.1L);
    FIO->SetQuality(q);
    FRightCurrent = false;
    QL->setText(QString::asprintf("%2.1f", q));
    SaveSetting(QStringLiteral("Quality"), q);
}

QString TMainF::TempFileName() const
{
    // A fresh name in the temporary folder; the file is made empty there so
    // that no other Compress takes the same name.
    const QString folder = QDir::tempPath();
    const QString pattern = QDir(folder).filePath(QStringLiteral("jp2cXXXXXX.tmp"));
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        throw EFCreateError(pattern, QStringLiteral("The temporary folder does not exist"));
    QTemporaryFile file(pattern);
    file.setAutoRemove(false);
    if (!file.open()) throw EFCreateError(pattern, file.errorString());
    return file.fileName();
}

void TMainF::Button2Click()
{
    if (FBusy) return;
    FBusy = true;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    SaveNavigation();
    FCancel = false;
    QString temp;
    TFinally cleanup{[this, &temp] {
        // The temporary file goes on every path.
        if (!temp.isEmpty()) QFile::remove(temp);
        ScrollBox2->SetScrollBarsVisible(ScrollBox1->ScrollBarsVisible());
        ScrollBox2->horizontalScrollBar()->setRange(ScrollBox1->horizontalScrollBar()->minimum(),
                                                    ScrollBox1->horizontalScrollBar()->maximum());
        ScrollBox2->verticalScrollBar()->setRange(ScrollBox1->verticalScrollBar()->minimum(),
                                                  ScrollBox1->verticalScrollBar()->maximum());
        Image2->SetAutoSize(Image1->AutoSize());
        Image2->SetStretch(Image1->Stretch());
        Image2->setGeometry(Image1->geometry());
        ScrollBox2->verticalScrollBar()->setValue(ScrollBox1->verticalScrollBar()->value());
        ScrollBox2->horizontalScrollBar()->setValue(ScrollBox1->horizontalScrollBar()->value());
        Image2->update();
        Button4->setEnabled(false);
        Button1->setEnabled(true);
        Button6->setEnabled(true);
        BBAbout->setEnabled(true);
        EnableListCommands();
        SetWorkControlsEnabled(true);
        RestoreNavigation();
        QGuiApplication::restoreOverrideCursor();
        ProgressBar1->SetProgress(0);
        FEncoding = false;
        FBusy = false;
    }};
    for (QWidget* c : {static_cast<QWidget*>(Button2), static_cast<QWidget*>(Button1),
                       static_cast<QWidget*>(Button3), static_cast<QWidget*>(Button5),
                       static_cast<QWidget*>(Button6), static_cast<QWidget*>(BBAbout)})
        c->setEnabled(false);
    SetWorkControlsEnabled(false);
    Button4->setEnabled(true);
    QCoreApplication::processEvents();
    FLastEvents = NowMs();
    if (FSource.isNull() || FSource.width() == 0 || FSource.height() == 0) return;
    FIO->SetAttachedBitmap(&FSource);
    const qint64 raw = qint64(FSource.width()) * FSource.height() * 3;
    const QString options = CurrentOptions();
    temp = TempFileName();
    FEncoding = true;
    const qint64 n = FIO->SaveToFile(temp);
    FEncoding = false;
    // A Cancel (in either half) leaves labels and right pane as they were.
    if (n <= 0 || FCancel) return;
    QFile file(temp);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    file.close();
    FIO->LoadFromFile(temp);
    if (FCancel) return;
    QFile::remove(temp);
    temp.clear();
    SetLabelText(Ratio, QString::fromStdString(J2000RatioText(raw, n)));
    SetLabelText(CSize, QString::fromStdString(J2000SizeText(n)));
    SetRightPicture(*FIO->GetAttachedBitmap());
    StartFigures();
    FCoder->setText(jp2->HighThroughput() ? QStringLiteral("Coded with HTJ2K (high-throughput)")
                                          : QStringLiteral("Coded with the bit-plane coder"));
    if (jp2->TargetPsnr() > 0)
        FCoder->setText(FCoder->text() + QStringLiteral(", PSNR %1 dB reached").arg(jp2->ReachedPsnr(), 0, 'f', 2));
    FRightCurrent = true;
    // Save As writes exactly these bytes while picture and quality stay.
    if (bytes.size() == n) {
        FCompressed = bytes;
        FCompressedPath = FList.isEmpty() ? QString() : FList[FIndex].Path;
        FCompressedOptions = options;
    }
    if (Pre && Pre->isVisible() && SelRight != SelLeft && SelBottom != SelTop) SpeedButton4Click(nullptr);
}

QString TMainF::CurrentOptions() const
{
    return QString::fromStdString(jp2->EncoderOptions(FSource.width(), FSource.height()));
}

void TMainF::Button4Click()
{
    FCancel = true;
    FIO->CancelOperation();
}

void TMainF::kveProgress(TImage_IO*, int32_t PercentDone)
{
    // Pending events are processed every few tens of milliseconds rather
    // than on every report: the codec reports thousands of times per
    // picture, and the window stays just as responsive.
    const qint64 now = NowMs();
    if (now - FLastEvents >= kProgressEventsInterval) {
        FLastEvents = now;
        QCoreApplication::processEvents();
    }
    // Compress: the encoder in the first half, the decoder in the second.
    if (FSaving)
        ProgressBar1->SetProgress(PercentDone);
    else if (FEncoding)
        ProgressBar1->SetPermille(5 * std::clamp(PercentDone, 0, 100));
    else
        ProgressBar1->SetPermille(500 + 5 * std::clamp(PercentDone, 0, 100));
}

QString TMainF::ChangeFileExt(const QString& Path, const QString& Ext)
{
    const qsizetype slash = Path.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = Path.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > slash ? Path.left(dot) : Path;
    return stem + QLatin1Char('.') + Ext;
}

void TMainF::Button3Click()
{
    if (FBusy) return;
    SaveNavigation();
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    QCoreApplication::processEvents();
    FBusy = true;
    TFinally cleanup{[this] {
        FSaving = false;
        EnableListCommands();
        Button6->setEnabled(true);
        SetWorkControlsEnabled(true);
        ProgressBar1->SetProgress(0);
        QGuiApplication::restoreOverrideCursor();
        RestoreNavigation();
        FBusy = false;
    }};
    if (FList.isEmpty()) return;
    for (QWidget* c : {static_cast<QWidget*>(Button3), static_cast<QWidget*>(Button2),
                       static_cast<QWidget*>(Button5), static_cast<QWidget*>(Button6)})
        c->setEnabled(false);
    SetWorkControlsEnabled(false);
    const QString name = FDialogs->SavePicture(this, QStringLiteral("Save Picture"),
                                               QStringLiteral("JPEG2000 Files (*.jp2)"), QStringLiteral("jp2"),
                                               ChangeFileExt(FList[FIndex].Path, QStringLiteral("jp2")));
    if (name.isEmpty()) return;
    FSaving = true;
    if (!FCompressed.isEmpty() && FCompressedPath == FList[FIndex].Path &&
        FCompressedOptions == CurrentOptions()) {
        // The file the user judged: the bytes of the last Compress.
        QSaveFile file(name);
        if (!file.open(QIODevice::WriteOnly) || file.write(FCompressed) != FCompressed.size() ||
            !file.commit())
            throw EFCreateError(name, file.errorString());
        ProgressBar1->SetProgress(100);
    } else {
        // Always from the picture as loaded, never from a decoded result.
        FIO->SetAttachedBitmap(&FSource);
        FIO->SaveToFile(name);
    }
    FSaving = false;
}

void TMainF::Button5Click()
{
    if (FBusy) return;
    if (!FDialogs->AskYesNo(this, QStringLiteral("Save All Warning"),
                            QStringLiteral("All pictures will be compressed with same parameters\nWould you like to continue?")))
        return;
    FBusy = true;
    QGuiApplication::setOverrideCursor(Qt::WaitCursor);
    QCoreApplication::processEvents();
    SaveNavigation();
    FCancel = false;
    for (QWidget* c : {static_cast<QWidget*>(Button1), static_cast<QWidget*>(Button5),
                       static_cast<QWidget*>(Button2), static_cast<QWidget*>(Button3),
                       static_cast<QWidget*>(Button6)})
        c->setEnabled(false);
    SetWorkControlsEnabled(false);
    Button4->setEnabled(true);
    int32_t lastLoaded = -1;  // index of the picture last loaded and saved
    {
        TFinally cleanup{[this, &lastLoaded] {
            FSaving = false;
            // Back to the picture last loaded; inside the list, 0 when empty.
            if (lastLoaded >= 0) FIndex = lastLoaded;
            FIndex = FList.isEmpty() ? 0 : std::clamp<int32_t>(FIndex, 0, FList.size() - 1);
            Button2->setEnabled(true);
            Button3->setEnabled(true);
            Button4->setEnabled(false);
            Button5->setEnabled(true);
            Button1->setEnabled(true);
            Button6->setEnabled(true);
            SetWorkControlsEnabled(true);
            // The navigation follows the final position (the saved pair is dropped).
            RestoreNavigation();
            Next->setEnabled(FIndex != FList.size() - 1 && !FList.isEmpty());
            Prev->setEnabled(FList.size() > 1 && FIndex > 0);
            FCancel = false;
            QGuiApplication::restoreOverrideCursor();
            ProgressBar1->SetProgress(0);
            FBusy = false;
        }};
        FIndex = 0;
        while (FIndex < FList.size()) {
            QCoreApplication::processEvents();
            if (FCancel) break;
            // A picture that cannot be loaded leaves the list; the loop goes
            // on with the entry that took its place, so none is skipped.
            const int32_t at = FIndex;
            const qsizetype count = FList.size();
            LoadCurrentPicture();
            if (FList.size() < count) {
                FIndex = at;
                continue;
            }
            const QString ext = FIO->FormatName() == QStringLiteral("Drelt") ? QStringLiteral("kve") : QStringLiteral("jp2");
            QString out = ChangeFileExt(FList[FIndex].Path, ext);
            // No picture of the list (a JP2 file among them) is written over.
            if (std::any_of(FList.cbegin(), FList.cend(), [&out](const TPictureEntry& e) {
                    return e.Path.compare(out, Qt::CaseInsensitive) == 0;
                }))
                out = ChangeFileExt(FList[FIndex].Path, QStringLiteral("new.") + ext);
            FSaving = true;
            FIO->SaveToFile(out);
            FSaving = false;
            lastLoaded = FIndex;
            ++FIndex;
        }
    }
    AskClosePictures();
}

void TMainF::SpeedButton4Click(QObject* Sender)
{
    if (FBusy && Sender) return;
    if (!Pre) Pre = new TPre(this);
    SpeedButton4->setEnabled(false);
    SaveNavigation();
    for (QWidget* c : {static_cast<QWidget*>(Button2), static_cast<QWidget*>(Button1),
                       static_cast<QWidget*>(Button3), static_cast<QWidget*>(Button5),
                       static_cast<QWidget*>(Button6)})
        c->setEnabled(false);
    // A preview run by Compress leaves Compress's busy flag to Compress.
    const bool wasBusy = FBusy;
    TFinally cleanup{[this, wasBusy] {
        SpeedButton4->setEnabled(true);
        RestoreNavigation();
        ProgressBar1->SetProgress(0);
        Button1->setEnabled(true);
        Button6->setEnabled(true);
        EnableListCommands();
        FBusy = wasBusy;
    }};
    if (SelLeft > SelRight) std::swap(SelLeft, SelRight);
    if (SelTop > SelBottom) std::swap(SelTop, SelBottom);
    const int w = SelRight - SelLeft - 1, h = SelBottom - SelTop - 1;
    // The interior of the outline; nothing to show when it is empty.
    if (w <= 0 || h <= 0) return;
    if (!FRightCurrent && Sender) Button2Click();
    // Areas outside the right pane's picture read as black, never beyond it.
    QImage area = FRight.copy(SelLeft + 1, SelTop + 1, w, h);
    if (area.isNull()) return;
    area.convertTo(QImage::Format_BGR888);
    Pre->Image1->SetPicture(area);
    Pre->AspectRatio = double(area.width()) / area.height();
    // Within the available screen: scaled down (aspect kept) to fit, beside
    // the main window when there is room, else over it.
    const QRect avail = screen() ? screen()->availableGeometry() : QRect(0, 0, w, h);
    const QSize frame = FFrame.isValid() ? FFrame : QSize(0, 0);
    const int maxw = std::max(avail.width() - frame.width(), 16);
    const int maxh = std::max(avail.height() - frame.height(), 16);
    const double scale = std::min({1.0, double(maxw) / w, double(maxh) / h});
    const int pw = std::max(1, static_cast<int>(w * scale));
    const int ph = std::max(1, static_cast<int>(pw / Pre->AspectRatio));
    Pre->SetClientSize(pw, ph);
    const QRect main = frameGeometry();
    const int outerw = pw + frame.width(), outerh = ph + frame.height();
    int x = main.right() + 1;
    if (x + outerw > avail.right() + 1) x = main.left() - outerw;
    if (x < avail.left()) x = std::clamp(main.left(), avail.left(), avail.right() + 1 - outerw);
    const int y = std::clamp(main.top(), avail.top(), std::max(avail.top(), avail.bottom() + 1 - outerh));
    Pre->move(x, y);
    Pre->show();
    Pre->Image1->update();
    Pre->raise();
    Pre->activateWindow();
}

// --- viewing aids -------------------------------------------------------------

void TMainF::SpeedButton1Click()
{
    if (Image1->Empty()) return;
    ScrollBox2->SetScrollBarsVisible(false);
    ScrollBox1->SetScrollBarsVisible(false);
    Image1->SetAutoSize(false);
    Image2->SetAutoSize(false);
    const int bw = Image1->Picture().width(), bh = Image1->Picture().height();
    const double a = double(bw) / bh;
    // The pane's inner size from its geometry (its scroll bars are off): the
    // viewport of a pane not yet shown still has its first, default size.
    const int CW = ScrollBox1->width() - 2 * ScrollBox1->frameWidth();
    const int CH = ScrollBox1->height() - 2 * ScrollBox1->frameWidth();
    int left, top, width, height;
    if (a >= 1) {
        width = CW - 10;
        left = (CW - width) / 2;
        height = static_cast<int>(width / a);
        top = (CH - height) / 2;
    } else {
        height = CH - 10;
        top = (CH - height) / 2;
        width = static_cast<int>(height * a);
        left = (CW - width) / 2;
    }
    Image1->setGeometry(left, top, std::max(width, 0), std::max(height, 0));
    Image2->setGeometry(Image1->geometry());
    Image1->SetStretch(true);
    Image2->SetStretch(true);
    DrawSelection();
    const double s = double(Image1->width()) / bw;
    Image1->SetPenWidth(s > 1 ? 1 : static_cast<int>(1 / s) + 1);
    DrawSelection();
    SpeedButton1->setEnabled(false);
    SpeedButton2->setEnabled(false);
    SpeedButton3->setEnabled(true);
}

void TMainF::SpeedButton3Click()
{
    ScrollBox2->SetScrollBarsVisible(true);
    ScrollBox1->SetScrollBarsVisible(true);
    Image1->move(0, 0);
    Image1->SetStretch(false);
    Image1->SetAutoSize(true);
    Image2->setGeometry(0, 0, Image1->width(), Image1->height());
    Image2->SetStretch(false);
    Image2->SetAutoSize(true);
    DrawSelection();
    Image1->SetPenWidth(1);
    DrawSelection();
    SpeedButton3->setEnabled(false);
    SpeedButton2->setEnabled(true);
    SpeedButton1->setEnabled(true);
}

void TMainF::SpeedButton2Click()
{
    const auto center = [](TCustomScrollBox* box, TImage* image) {
        const int bw = image->Picture().width(), bh = image->Picture().height();
        const int CW = box->ClientWidth(), CH = box->ClientHeight();
        if (bw > CW)
            box->horizontalScrollBar()->setValue(box->Content()->width() / 2 - box->width() / 2);
        else
            image->move((CW - bw) / 2, image->y());
        if (bh > CH)
            box->verticalScrollBar()->setValue(box->Content()->height() / 2 - box->height() / 2);
        else
            image->move(image->x(), (CH - bh) / 2);
    };
    center(ScrollBox1, Image1);
    center(ScrollBox2, Image2);
    SpeedButton2->setEnabled(false);
    SpeedButton1->setEnabled(true);
    SpeedButton3->setEnabled(true);
}

void TMainF::ScrollBox1ScrollHorz()
{
    ScrollBox2->horizontalScrollBar()->setValue(ScrollBox1->horizontalScrollBar()->value());
}

void TMainF::ScrollBox1ScrollVert()
{
    ScrollBox2->verticalScrollBar()->setValue(ScrollBox1->verticalScrollBar()->value());
}

void TMainF::ScrollBox2ScrollHorz()
{
    ScrollBox1->horizontalScrollBar()->setValue(ScrollBox2->horizontalScrollBar()->value());
}

void TMainF::ScrollBox2ScrollVert()
{
    ScrollBox1->verticalScrollBar()->setValue(ScrollBox2->verticalScrollBar()->value());
}

void TMainF::SetLeftCursor(Qt::CursorShape Shape)
{
    FLeftCursor = Shape;
    Image1->setCursor(Shape);
    ScrollBox1->viewport()->setCursor(Shape);
}

void TMainF::SetRightCursor(Qt::CursorShape Shape)
{
    FRightCursor = Shape;
    Image2->setCursor(Shape);
    ScrollBox2->viewport()->setCursor(Shape);
}

int TMainF::PictureCoord(int MouseCoord) const
{
    const double s = double(Image1->width()) / Image1->Picture().width();
    return static_cast<int>(MouseCoord / s);
}

void TMainF::DrawSelection()
{
    if (!Image1->Empty() && SelLeft != SelRight && SelTop != SelBottom)
        Image1->DrawOutline(SelLeft, SelTop, SelRight, SelBottom);
}

void TMainF::Image1MouseDown(Qt::MouseButton Button, Qt::MouseButtons, int X, int Y)
{
    if (Button == Qt::RightButton) {
        SetLeftCursor(Qt::OpenHandCursor);
        FLeftAnchorX = X;
        FLeftAnchorY = Y;
    } else if (Button == Qt::LeftButton && !Image1->Empty()) {
        SetLeftCursor(Qt::CrossCursor);
        DrawSelection();
        SelLeft = SelRight = PictureCoord(X);
        SelTop = SelBottom = PictureCoord(Y);
        // The button's implicit grab keeps moves and the release coming.
        FSelecting = true;
        SpeedButton4->setEnabled(false);
        Image1->SetPenInverting(true);
        DrawSelection();
    }
}

void TMainF::Image1MouseMove(Qt::MouseButtons Shift, int X, int Y)
{
    if (FSelecting && !Image1->Empty() && (Shift & Qt::LeftButton)) {
        if (FLeftCursor != Qt::CrossCursor) return;
        int px = PictureCoord(X), py = PictureCoord(Y);
        Image1->update();
        DrawSelection();
        px = std::clamp(px, 0, Image1->Picture().width() - 1);
        py = std::clamp(py, 0, Image1->Picture().height() - 1);
        SelRight = px;
        SelBottom = py;
        DrawSelection();
    }
    if ((Shift & Qt::RightButton) && X >= 0 && X < Image2->width() && Y >= 0 && Y < Image2->height() &&
        FLeftCursor == Qt::OpenHandCursor) {
        QScrollBar* h = ScrollBox1->horizontalScrollBar();
        QScrollBar* v = ScrollBox1->verticalScrollBar();
        h->setValue(h->value() - (X - FLeftAnchorX));
        v->setValue(v->value() - (Y - FLeftAnchorY));
        ScrollBox2->horizontalScrollBar()->setValue(h->value());
        ScrollBox2->verticalScrollBar()->setValue(v->value());
    }
}

void TMainF::Image1MouseUp(Qt::MouseButton Button, Qt::MouseButtons, int X, int Y)
{
    if (Button == Qt::RightButton) {
        SetLeftCursor(Qt::ArrowCursor);
        SetRightCursor(Qt::ArrowCursor);
    } else if (Button == Qt::LeftButton && !Image1->Empty()) {
        if (FLeftCursor != Qt::CrossCursor) return;
        SelRight = std::clamp(PictureCoord(X), 0, Image1->Picture().width() - 1);
        SelBottom = std::clamp(PictureCoord(Y), 0, Image1->Picture().height() - 1);
        FSelecting = false;
        if (SelLeft != SelRight && SelTop != SelBottom) SpeedButton4->setEnabled(true);
        SetLeftCursor(Qt::ArrowCursor);
    }
}

void TMainF::Image2MouseDown(Qt::MouseButton Button, Qt::MouseButtons, int X, int Y)
{
    if (Button != Qt::RightButton) return;
    SetRightCursor(Qt::OpenHandCursor);
    FRightAnchorX = X;
    FRightAnchorY = Y;
}

void TMainF::Image2MouseMove(Qt::MouseButtons Shift, int X, int Y)
{
    if ((Shift & Qt::RightButton) && X >= 0 && X < Image2->width() && Y >= 0 && Y < Image2->height() &&
        FRightCursor == Qt::OpenHandCursor) {
        QScrollBar* h = ScrollBox2->horizontalScrollBar();
        QScrollBar* v = ScrollBox2->verticalScrollBar();
        h->setValue(h->value() - (X - FRightAnchorX));
        v->setValue(v->value() - (Y - FRightAnchorY));
        ScrollBox1->horizontalScrollBar()->setValue(h->value());
        ScrollBox1->verticalScrollBar()->setValue(v->value());
    }
}

void TMainF::Image2MouseUp(Qt::MouseButton Button, Qt::MouseButtons, int, int)
{
    if (Button != Qt::RightButton) return;
    SetLeftCursor(Qt::ArrowCursor);
    SetRightCursor(Qt::ArrowCursor);
}

// --- window size and layout ---------------------------------------------------

void TMainF::FormConstrainedResize()
{
    const QSize frame = FFrame.isValid() ? FFrame : QSize(0, 0);
    setMinimumSize(594 - frame.width(), 502 - frame.height());
}

void TMainF::showEvent(QShowEvent* Event)
{
    QWidget::showEvent(Event);
    // The frame is known once the window is on screen; the stored sizes are
    // outer sizes.
    const QSize frame = frameGeometry().size() - size();
    if (!FFrame.isValid() || frame != FFrame) {
        const bool first = !FFrame.isValid();
        FFrame = frame;
        FormConstrainedResize();
        if (first && !frame.isEmpty()) resize(603 - frame.width(), 501 - frame.height());
        if (first && screen()) {
            // Centred on the screen, as stored.
            const QRect area = screen()->availableGeometry();
            move(area.x() + (area.width() - 603) / 2, area.y() + (area.height() - 501) / 2);
        }
    }
}

void TMainF::resizeEvent(QResizeEvent* Event)
{
    QWidget::resizeEvent(Event);
    FormResize();
}

void TMainF::FormResize()
{
    const int CW = width(), CH = height();
    const int half = (CW - 26) / 2;
    const int avail = CH - Panel2->height() - StatusBar1->height();
    ScrollBox1->setGeometry(4, ScrollBox1->y(), half, avail - 8);
    ScrollBox2->setGeometry(half + 22, ScrollBox2->y(), half, avail - 8);
    // Panel2 keeps its left margin on the right too: its anchored controls
    // (gauge, Cancel, Exit) stay inside the window.
    Panel2->setGeometry(Panel2->x(), avail, CW - 2 * Panel2->x(), Panel2->height());
    StatusBar1->setGeometry(StatusBar1->x(), CH - StatusBar1->height(), CW, StatusBar1->height());
    Ratio->move((CW - Ratio->width()) / 2, Ratio->y());
    PlaceOverlays();
    Label4->move(ScrollBox2->x() + 116, Label4->y());
    CSize->move(ScrollBox2->x() + 153, CSize->y());
    LayoutPanel2();
    if (!SpeedButton1->isEnabled() && !Image1->Empty()) {
        SpeedButton1Click();
        // The logo of an empty list is fitted, but the view buttons stay off.
        if (FList.isEmpty())
            for (QWidget* c : {static_cast<QWidget*>(SpeedButton1), static_cast<QWidget*>(SpeedButton2),
                               static_cast<QWidget*>(SpeedButton3)})
                c->setEnabled(false);
    }
}

void TMainF::LayoutPanel2()
{
    const int d = Panel2->width() - kPanel2Width;
    TrackBar1->resize(190 + d, TrackBar1->height());
    QL->move(270 + d, QL->y());
    HTJ2K->move(316 + d, HTJ2K->y());
    TargetPsnr->move(316 + d, TargetPsnr->y());
    Panel1->resize(501 + d, Panel1->height());
    ProgressBar1->setGeometry(2, 2, Panel1->width() - 4, Panel1->height() - 4);
    Button2->move(414 + d, Button2->y());
    Button4->move(502 + d, Button4->y());
    BBAbout->move(435 + d, BBAbout->y());
    Button1->move(520 + d, Button1->y());
}

// --- figures, difference and flicker views ------------------------------------

void TMainF::SetRightPicture(const QImage& Picture)
{
    FRight = Picture;
    FHeat = QImage();
    ++FHeatRun;
    FHeatPending = false;
    ShowRightPicture();
}

void TMainF::ShowRightPicture()
{
    // The other views need a right picture of the loaded picture's size.
    const bool comparable = !FSource.isNull() && !FRight.isNull() && FSource.size() == FRight.size();
    // The heat map is made off this thread; until it arrives the pane
    // shows the picture without the legend.
    if (comparable && FDiffView && !FFlicker && FHeat.isNull()) StartHeatMap();
    const bool diff = comparable && FDiffView && !FFlicker && !FHeat.isNull();
    Image2->SetPicture(comparable && FFlicker ? FSource : diff ? FHeat : FRight);
    FLegend->setVisible(diff || (comparable && FFlicker));
    if (FLegend->isVisible()) {
        // The legend: the ramp from no error to the error that saturates it,
        // or a note that the original is shown.
        const QFont font = FLegend->font();
        const QFontMetrics fm(font);
        const QString top = FFlicker ? QStringLiteral("Original") : QStringLiteral("Error");
        const QString high = QStringLiteral("%1+").arg(255 / kDiffGain + 1);
        const int w = FFlicker ? fm.horizontalAdvance(top) + 10 : 140, h = FFlicker ? fm.height() + 6 : 2 * fm.height() + 16;
        QPixmap pm(w, h);
        pm.fill(QColor(255, 255, 255, 225));
        QPainter p(&pm);
        p.setFont(font);
        p.setPen(Qt::black);
        p.drawText(QRect(5, 3, w - 10, fm.height()), Qt::AlignLeft, top);
        if (!FFlicker) {
            const int y = 5 + fm.height(), bar = w - 10;
            for (int x = 0; x < bar; ++x) {
                p.setPen(QColor::fromRgb(HeatColour(x * 255 / (bar - 1))));
                p.drawLine(5 + x, y, 5 + x, y + 7);
            }
            p.setPen(Qt::black);
            p.drawText(QRect(5, y + 9, bar, fm.height()), Qt::AlignLeft, QStringLiteral("0"));
            p.drawText(QRect(5, y + 9, bar, fm.height()), Qt::AlignRight, high);
        }
        p.end();
        FLegend->setPixmap(pm);
        FLegend->resize(pm.size());
        FLegend->setToolTip(FFlicker ? QString()
                                     : QStringLiteral("Absolute error per pixel (largest over the channels), amplified %1 times")
                                           .arg(kDiffGain));
        PlaceOverlays();
        FLegend->raise();
    }
}

void TMainF::PlaceOverlays()
{
    if (FLegend) {
        // Bottom left of the right pane, above its scroll bar.
        const QWidget* vp = ScrollBox2->viewport();
        FLegend->move(vp->x() + 4, vp->y() + vp->height() - FLegend->height() - 4);
    }
    // The figures in a second line under Ratio, on both sides of its centre.
    const int c = Ratio->x() + Ratio->width() / 2;
    Psnr->move(c - 6 - Psnr->width(), Psnr->y());
    Ssim->move(c + 6, Ssim->y());
}

void TMainF::SpeedButton5Click()
{
    FDiffView = SpeedButton5->isChecked();
    ShowRightPicture();
}

void TMainF::SetFlicker(bool On)
{
    if (FFlicker == On) return;
    FFlicker = On;
    ShowRightPicture();
}

bool TMainF::eventFilter(QObject* Watched, QEvent* Event)
{
    const QEvent::Type t = Event->type();
    if ((t == QEvent::Enter || t == QEvent::Leave) && (Watched == ScrollBox1 || Watched == ScrollBox2))
        FOverPane = t == QEvent::Enter;
    if (t == QEvent::WindowDeactivate && Watched == this) SetFlicker(false);
    if (t != QEvent::KeyPress && t != QEvent::KeyRelease) return false;
    auto* key = static_cast<QKeyEvent*>(Event);
    auto* widget = qobject_cast<QWidget*>(Watched);
    if (key->key() != Qt::Key_Space || !widget || widget->window() != this) return false;
    if (t == QEvent::KeyPress) {
        if (FFlicker) return true;  // auto-repeat while held
        const auto over = [](QWidget* pane) { return pane->rect().contains(pane->mapFromGlobal(QCursor::pos())); };
        if (!FOverPane && !over(ScrollBox1) && !over(ScrollBox2)) return false;
        if (FList.isEmpty()) return false;
        if (!key->isAutoRepeat()) SetFlicker(true);
        return true;
    }
    if (!FFlicker) return false;
    if (!key->isAutoRepeat()) SetFlicker(false);
    return true;
}

void TMainF::ClearFigures()
{
    ++FFiguresRun;
    SetLabelText(Psnr, QString());
    SetLabelText(Ssim, QString());
    PlaceOverlays();
}

void TMainF::StartFigures()
{
    ClearFigures();
    if (FSource.isNull() || FRight.size() != FSource.size()) return;
    const quint64 run = FFiguresRun;
    auto* watcher = new QFutureWatcher<PictureDifference>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, run] {
        watcher->deleteLater();
        // A newer picture, a Clear or a new Compress came first: not ours.
        if (run == FFiguresRun) ShowFigures(watcher->result());
    });
    watcher->setFuture(QtConcurrent::run([a = FSource, b = FRight] {
        PictureDifference d;
        if (!ComparePictures(a.convertToFormat(QImage::Format_BGR888), b.convertToFormat(QImage::Format_BGR888), &d))
            d.ssim = -1;
        return d;
    }));
}

void TMainF::StartHeatMap()
{
    if (FHeatPending) return;
    FHeatPending = true;
    const quint64 run = FHeatRun;
    auto* watcher = new QFutureWatcher<QImage>(this);
    connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, run] {
        watcher->deleteLater();
        // Another right picture came first: not ours.
        if (run != FHeatRun) return;
        FHeatPending = false;
        FHeat = watcher->result();
        if (!FHeat.isNull() && FDiffView) ShowRightPicture();
    });
    watcher->setFuture(QtConcurrent::run([a = FSource, b = FRight] {
        return DifferenceHeatMap(a.convertToFormat(QImage::Format_BGR888), b.convertToFormat(QImage::Format_BGR888),
                                 kDiffGain);
    }));
}

void TMainF::ShowFigures(const PictureDifference& Figures)
{
    if (Figures.ssim < 0) return;
    SetLabelText(Psnr, std::isinf(Figures.psnr) ? QStringLiteral("PSNR: lossless")
                                                 : QStringLiteral("PSNR: %1 dB").arg(Figures.psnr, 0, 'f', 2));
    SetLabelText(Ssim, QStringLiteral("SSIM: %1").arg(Figures.ssim, 0, 'f', 4));
    PlaceOverlays();
}
