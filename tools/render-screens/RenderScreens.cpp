// Renders the desktop program's windows to PNG files, for a look without a display:
//   qv_render_screens <output folder> <scale>
// writes main-dialog, edit-create, edit-modify, about and tray-menu at the given device pixel ratio.
#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <functional>

#include "TempDir.h"
#include "app/AboutDlg.h"
#include "app/DlgLocalWebServerGen.h"
#include "app/QvWebServerApp.h"
#include "app/QvWebServerDlg.h"
#include "app/QvWebServerWnd.h"
#include "controls/QvResMngr.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

namespace {

QString g_out;
QString g_suffix;

void save(QWidget* widget, const char* name)
{
    const QString path = QStringLiteral("%1/%2%3.png").arg(g_out, QString::fromLatin1(name), g_suffix);
    if (widget->grab().save(path)) {
        std::printf("%s\n", qPrintable(path));
    } else {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
    }
}

// Grabs a modal dialog once it is up, then closes it.
void grabWhenShown(QDialog* dialog, const char* name)
{
    QTimer::singleShot(100, dialog, [dialog, name] {
        save(dialog, name);
        dialog->done(2);
    });
}

void addServer(CQvServerHost& host, const char16_t* name, const char16_t* group, int port, const QvString& folder)
{
    std::unique_ptr<_tag_WebServerInfo> definition = host.beginEdit(QvString(u""));
    definition->name = name;
    definition->grpname = group;
    definition->port = port;
    definition->basepath = folder;
    definition->basehtml = u"index.html";
    host.finishEdit(QvString(u""), std::move(definition), ServerEditAction::Confirm);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: qv_render_screens <output folder> <scale>\n");
        return 2;
    }
    qputenv("QT_SCALE_FACTOR", argv[2]);
    QApplication application(argc, argv);
    g_out = QString::fromLocal8Bit(argv[1]);
    g_suffix = QStringLiteral("@%1x").arg(QString::fromLatin1(argv[2]));
    QDir().mkpath(g_out);

    TempDir exeDir("qvscreens");
    std::filesystem::copy(QV_SOURCE_DIR "/config", exeDir.path() / "config", std::filesystem::copy_options::recursive);
    std::filesystem::copy(QV_SOURCE_DIR "/res", exeDir.path() / "res", std::filesystem::copy_options::recursive);
    qvplat::setModuleFileNameForTesting((exeDir.path() / "qvwebserver").u16string());
    exeDir.write("www/index.html", "<p>hello</p>");
    const QvString folder = QvString::fromUtf8((exeDir.path() / "www").string());

    CQvWebServerApp::setApplicationIcon();
    // What the tray window loads at its creation.
    QvResMngr::getInstance()->loadColorTable(
        CQvDirMng::getInstance()->getFilePath(u"config", u"clrtbl_normal.json", false));
    QvResMngr::getInstance()->loadSystemImageList();
    CQvServerHost host;
    host.startup();
    CEnvMng::getInstance()->setString(ENV_FILE_ENV, u"GROUPLIST", u"CNT", u"0");
    const int apiPort = CQvServerHost::findFreePort();
    addServer(host, u"api", u"Work", apiPort, folder);
    addServer(host, u"docs", u"Work", 8081, folder);
    addServer(host, u"site1", u"", 8080, folder);
    host.runServer(u"api");

    {
        CQvWebServerDlg dialog(&host);
        // The selector with the keyboard focus, which it shows with a dotted frame.
        QTimer::singleShot(50, &dialog, [&dialog] {
            QApplication::setActiveWindow(&dialog);
            dialog.findChild<QWidget*>(QStringLiteral("selectorUsedServer"))->setFocus();
        });
        grabWhenShown(&dialog, "main-dialog");
        dialog.DoModal();
    }
    {
        CDlgLocalWebServerGen dialog(&host);
        _tag_WebServerInfo fresh;
        dialog.setDefinition(&fresh);
        grabWhenShown(&dialog, "edit-create");
        dialog.DoModal();
    }
    {
        CDlgLocalWebServerGen dialog(&host);
        std::unique_ptr<_tag_WebServerInfo> api = host.beginEdit(u"api");
        dialog.setDefinition(api.get());
        dialog.setModify(true);
        grabWhenShown(&dialog, "edit-modify");
        dialog.DoModal();
    }
    {
        CAboutDlg about;
        grabWhenShown(&about, "about");
        about.exec();
    }
    {
        CQvWebServerWnd window(&host, [] {});
        QMenu menu;
        window.buildMenu(&menu);
        menu.popup(QPoint(10, 10));
        QTimer::singleShot(100, &menu, [&menu] {
            save(&menu, "tray-menu");
            menu.close();
        });
        QTimer::singleShot(200, &application, &QApplication::quit);
        QApplication::exec();
    }
    QvResMngr::releaseInstance();
    host.shutdown();
    qvplat::setModuleFileNameForTesting(u"");
    return 0;
}
