// The questions and file dialogs of the windows, behind one interface so
// that tests can answer them.  The default implementation shows Qt dialogs.
#ifndef APP_USERDIALOGS_H
#define APP_USERDIALOGS_H

#include <QString>
#include <QStringList>

class QWidget;

class TUserDialogs {
public:
    virtual ~TUserDialogs() = default;
    // The folder the open and save dialogs start in ("" for the default).
    QString Folder;
    // The open-picture dialog: title, filter (Qt syntax, ";;" between
    // entries), multiple selection of existing files.  Empty on cancel.
    virtual QStringList OpenPictures(QWidget* Parent, const QString& Title, const QString& Filter) = 0;
    // A question with a question icon and the buttons Yes and No.
    virtual bool AskYesNo(QWidget* Parent, const QString& Caption, const QString& Text) = 0;
    // The save dialog: title, filter, default suffix (without the dot), the
    // proposed file name; asks before overwriting.  Empty on cancel.
    virtual QString SavePicture(QWidget* Parent, const QString& Title, const QString& Filter,
                                const QString& DefaultSuffix, const QString& FileName) = 0;
    // A message with a warning icon and the button OK.
    virtual void Warn(QWidget* Parent, const QString& Caption, const QString& Text) = 0;
};

// The dialogs of the desktop.
TUserDialogs* DesktopDialogs();

#endif
