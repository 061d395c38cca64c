#include "UserDialogs.h"

#include <QFileDialog>
#include <QMessageBox>

namespace {

class TDesktopDialogs : public TUserDialogs {
public:
    QStringList OpenPictures(QWidget* Parent, const QString& Title, const QString& Filter) override
    {
        QFileDialog dialog(Parent, Title, Folder, Filter);
        dialog.setFileMode(QFileDialog::ExistingFiles);
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        if (dialog.exec() != QDialog::Accepted) return {};
        return dialog.selectedFiles();
    }

    bool AskYesNo(QWidget* Parent, const QString& Caption, const QString& Text) override
    {
        return QMessageBox::question(Parent, Caption, Text, QMessageBox::Yes | QMessageBox::No,
                                     QMessageBox::Yes) == QMessageBox::Yes;
    }

    QString SavePicture(QWidget* Parent, const QString& Title, const QString& Filter,
                        const QString& DefaultSuffix, const QString& FileName) override
    {
        QFileDialog dialog(Parent, Title, QString(), Filter);
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix(DefaultSuffix);
        dialog.setOption(QFileDialog::DontConfirmOverwrite, false);
        if (!FileName.isEmpty()) dialog.selectFile(FileName);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
        return dialog.selectedFiles().first();
    }

    void Warn(QWidget* Parent, const QString& Caption, const QString& Text) override
    {
        QMessageBox::warning(Parent, Caption, Text);
    }
};

}  // namespace

TUserDialogs* DesktopDialogs()
{
    static TDesktopDialogs dialogs;
    return &dialogs;
}
