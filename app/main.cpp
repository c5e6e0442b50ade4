#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/QvWebServerApp.h"
#include "platform/Version.h"

namespace {

// The two options the program reads, answered without a display; -1 when neither was given.
int answerOption(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            std::printf(
                "Usage: qvwebserver [--help] [--version]\n"
                "Runs local static-file web servers from a tray icon and a small window.\n"
                "A second start brings the running program's window forward.\n"
                "The command-line front is qvwebserver-cli.\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            const std::u16string version = qvplat::getProductVersion();
            std::printf("qvwebserver %s\n", QString::fromStdU16String(version).toUtf8().constData());
            return 0;
        }
    }
    return -1;
}

bool hasDisplay()
{
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    return false;
}

QtMessageHandler s_qtHandler = nullptr;

// While the application object is made, a fatal message means the display could not be reached:
// Qt's own text (reinstall the application) is wrong here, and the abort after it leaves a core.
void refuseUnreachableDisplay(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg) {
        s_qtHandler(type, context, message);
        return;
    }
    const char* display = std::getenv("DISPLAY");
    std::fprintf(stderr, "qvwebserver: the display %s cannot be reached; use qvwebserver-cli without one\n",
                 display != nullptr && *display != '\0' ? display : "of this session");
    std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv)
{
    const int answered = answerOption(argc, argv);
    if (answered >= 0) {
        return answered;
    }
    // Qt would abort on the missing display; say it in one line instead.
    if (!hasDisplay()) {
        std::fprintf(stderr,
                     "qvwebserver: no display (DISPLAY or WAYLAND_DISPLAY is not set); "
                     "use qvwebserver-cli without one\n");
        return 1;
    }
    s_qtHandler = qInstallMessageHandler(refuseUnreachableDisplay);
    QApplication application(argc, argv);
    qInstallMessageHandler(s_qtHandler);
    QApplication::setApplicationName(QStringLiteral("QvWebServer"));
    QApplication::setDesktopFileName(QStringLiteral("qvwebserver"));
    // The program lives in the tray; a closed dialog must not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    CQvWebServerApp app;
    if (!app.InitInstance()) {
        if (app.handedOver()) {
            std::fprintf(stderr, "QvWebServer is already running\n");
        }
        return app.ExitInstance();
    }
    QApplication::exec();
    return app.ExitInstance();
}
