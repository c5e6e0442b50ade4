#include <QApplication>
#include <QIcon>

#include "app/QvWebServerApp.h"

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QvWebServer"));
    QApplication::setDesktopFileName(QStringLiteral("qvwebserver"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/qvwebserver.svg")));
    // The program lives in the tray; a closed dialog must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    CQvWebServerApp app;
    if (!app.InitInstance()) {
        return app.ExitInstance();
    }
    QApplication::exec();
    return app.ExitInstance();
}
