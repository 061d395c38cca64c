// The program: splash, application, main window, message loop.
#include "Exceptions.h"
#include "Main.h"
#include "Preview.h"
#include "Splash.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

namespace {

const char* const kTitle = "JPEG 2000 Compressor";

void ShowError(const QString& Message)
{
    QMessageBox::critical(nullptr, QString::fromLatin1(kTitle), Message);
}

// No exception leaves an event handler into Qt: it is shown in a critical
// message box titled with the application's name, and the event ends there.
class TApplication : public QApplication {
public:
    using QApplication::QApplication;

    bool notify(QObject* Receiver, QEvent* Event) override
    {
        try {
            return QApplication::notify(Receiver, Event);
        } catch (const Exception& e) {
            ShowError(e.Message());
        } catch (const std::exception& e) {
            ShowError(QString::fromUtf8(e.what()));
        } catch (...) {
            ShowError(QStringLiteral("Unknown error"));
        }
        return false;
    }
};

}  // namespace

int main(int argc, char** argv)
{
    // Qt needs its application object before any window, so the splash
    // follows it at once; its time still counts from before the main window.
    TApplication app(argc, argv);
    TMainF* mainForm = nullptr;
    try {
        ShowSplash();
        QApplication::setApplicationName(QString::fromLatin1(kTitle));
        QApplication::setOrganizationName(QStringLiteral("jp2c"));
        mainForm = new TMainF;
        mainForm->Pre = new TPre(mainForm);
        HideSplash(1000);
    } catch (const std::exception& e) {
        HideSplash(0);
        const Exception* ex = dynamic_cast<const Exception*>(&e);
        ShowError(ex ? ex->Message() : QString::fromUtf8(e.what()));
        delete mainForm;
        return 1;
    }
    mainForm->show();
    const int result = app.exec();
    delete mainForm;
    return result;
}
