#include <QApplication>

#include "app/QvWebServerApp.h"

int main(int argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QvWebServer"));
    QApplication::setDesktopFileName(QStringLiteral("qvwebserver"));
    // The program lives in the tray; a closed dialog must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    CQvWebServerApp app;
    if (!app.InitInstance()) {
        return app.ExitInstance();
    }
    QApplication::exec();
    return app.ExitInstance();
}
