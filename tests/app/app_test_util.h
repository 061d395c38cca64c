// Helpers of the window tests: a test double for the dialogs, generated
// pictures, mouse events with a given button state, screenshots.
#ifndef TESTS_APP_APP_TEST_UTIL_H
#define TESTS_APP_APP_TEST_UTIL_H

#include "UserDialogs.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QSettings>
#include <QWidget>

// Answers the window's dialogs from prepared values and counts the questions.
class TTestDialogs : public TUserDialogs {
public:
    QStringList OpenResult;
    bool Answer = false;
    QString SaveResult;
    int Questions = 0;
    QString LastQuestion, LastCaption;
    QStringList Captions;  // of every question, in order
    QString LastSaveName, LastSaveSuffix;
    int SaveDialogs = 0;
    QStringList Warnings;  // texts of the warnings shown, in order

    QStringList OpenPictures(QWidget*, const QString&, const QString&) override { return OpenResult; }
    bool AskYesNo(QWidget*, const QString& Caption, const QString& Text) override
    {
        ++Questions;
        LastCaption = Caption;
        Captions << Caption;
        LastQuestion = Text;
        return Answer;
    }
    QString SavePicture(QWidget*, const QString&, const QString&, const QString& Suffix,
                        const QString& FileName) override
    {
        ++SaveDialogs;
        LastSaveSuffix = Suffix;
        LastSaveName = FileName;
        return SaveResult;
    }
    void Warn(QWidget*, const QString&, const QString& Text) override { Warnings << Text; }
};

// A colourful picture of the given size saved as a bitmap file at Path.
inline QString MakeBitmapFile(const QString& Path, int Width, int Height)
{
    QImage img(Width, Height, QImage::Format_RGB32);
    for (int y = 0; y < Height; ++y) {
        auto* row = reinterpret_cast<QRgb*>(img.scanLine(y));
        for (int x = 0; x < Width; ++x)
            row[x] = qRgb(x * 255 / Width, y * 255 / Height, ((x / 16 + y / 16) & 1) ? 200 : 40);
    }
    img.save(Path, "BMP");
    return Path;
}

inline void SendMouse(QWidget* Target, QEvent::Type Type, Qt::MouseButton Button, Qt::MouseButtons Buttons,
                      QPoint At)
{
    QMouseEvent e(Type, QPointF(At), Target->mapToGlobal(QPointF(At)), Button, Buttons, Qt::NoModifier);
    QApplication::sendEvent(Target, &e);
}

// Keeps the window's remembered settings in Folder, away from the user's,
// and starts them empty.
inline void IsolateSettings(const QString& Folder)
{
    QCoreApplication::setOrganizationName(QStringLiteral("jp2c-tests"));
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, Folder);
    QSettings().clear();
}

// Saves the widget as it is drawn into <build>/screenshots/Name.png.
inline void SaveScreenshot(QWidget* Window, const QString& Name)
{
    QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
    Window->grab().save(QStringLiteral(SCREENSHOT_DIR) + QLatin1Char('/') + Name + QStringLiteral(".png"));
}

#endif
