// Drives the desktop program's real dialogs under the offscreen platform, with the message
// boxes answered by the test and the "executable" in a temporary folder.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "TempDir.h"
#include "app/DlgLocalWebServerGen.h"
#include "app/MessageBoxes.h"
#include "app/QvWebServerApp.h"
#include "app/QvWebServerDlg.h"
#include "app/QvWebServerWnd.h"
#include "app/ServerSelector.h"
#include "controls/QtConvert.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"
#include "platform/Profile.h"
#include "registry/QvServerHost.h"
#include "registry/WebServerMngr.h"
#include "webserver/WebServerInfo.h"

namespace {

// Records every message box and answers them from a queue (OK or No when it runs dry).
struct Boxes {
    QStringList texts;
    std::deque<int> answers;
    Boxes()
    {
        QvMessageBoxes::setHandler(
            [this](QWidget*, const QString& text, QvMessageBoxes::Buttons buttons, QvMessageBoxes::Icon) {
                texts << text;
                if (!answers.empty()) {
                    const int answer = answers.front();
                    answers.pop_front();
                    return answer;
                }
                return buttons == QvMessageBoxes::Ok ? int(QvMessageBoxes::IdOk) : int(QvMessageBoxes::IdNo);
            });
    }
    ~Boxes() { QvMessageBoxes::setHandler({}); }
};

template <class T>
T* child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) {
        qFatal("no child %s", name);
    }
    return found;
}

// Runs steps once the modal loop of the next dialog is running; a failed check closes the
// dialogs still open, so the test ends instead of waiting for a person.
void whenModal(std::function<void()> steps)
{
    QTimer::singleShot(0, qApp, [steps = std::move(steps)] {
        steps();
        if (QTest::currentTestFailed()) {
            while (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();
            }
        }
    });
}

QString plain(const QString& text)
{
    return QString(text).remove(QLatin1Char('&'));
}

// Fills the edit dialog that is open now and confirms it.
void fillEditDialog(const QString& name, const QString& port, const QString& group, const QString& folder)
{
    QWidget* dialog = QApplication::activeModalWidget();
    QVERIFY(qobject_cast<CDlgLocalWebServerGen*>(dialog) != nullptr);
    child<QLineEdit>(dialog, "editName")->setText(name);
    child<QLineEdit>(dialog, "editPort")->setText(port);
    child<QComboBox>(dialog, "comboGroup")->setEditText(group);
    child<QLineEdit>(dialog, "editBasePath")->setText(folder);
    child<QLineEdit>(dialog, "editBaseHtml")->setText(QStringLiteral("index.html"));
    QTest::mouseClick(child<QPushButton>(dialog, "buttonOk"), Qt::LeftButton);
}

QString selected(QWidget* dialog)
{
    return toQString(selectorCommand(child<QWidget>(dialog, "selectorUsedServer"), u"cursel", u"value"));
}

// One GET of "/" over loopback; the status line, or "" when nothing answered.
QString statusLineOf(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    if (!socket.waitForConnected(5000)) {
        return QString();
    }
    socket.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray answer;
    while (!answer.contains("\r\n") && socket.waitForReadyRead(5000)) {
        answer += socket.readAll();
    }
    return QString::fromLatin1(answer.left(answer.indexOf("\r\n")));
}

}  // namespace

class AppTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void generateValidatesAndFillsDefaults();
    void modifyModeShowsTheDefinition();
    void mainDialogCreatesRunsChangesAndDeletes();
    void trayMenuListsTheServers();
    void closedWindowStoresItsRectangle();
    void exitWritesOnlyFilledUserLayers();
    void installedProgramWritesToXdgFolders();
    void linksOpenTheDefaultBrowser();

private:
    void writeFile(const std::string& relative, const std::string& bytes) { m_dir->write(relative, bytes); }
    std::string readUser(const std::string& name) { return TempDir::read(m_dir->path() / "user" / name); }
    static void resetSingletons()
    {
        CQvWebServerMngr::releaseInstance();
        CEnvMng::releaseInstance();
        CQvDirMng::releaseInstance();
        qvplat::discardPrivateProfileCacheForTesting();
    }

    std::unique_ptr<TempDir> m_dir;
};

void AppTest::init()
{
    resetSingletons();
    m_dir = std::make_unique<TempDir>("qvapp");
    qvplat::setModuleFileNameForTesting((m_dir->path() / "qvwebserver").u16string());
    std::filesystem::create_directories(m_dir->path() / "config");
    std::filesystem::copy_file(QV_CONFIG_JSON, m_dir->path() / "config" / "config.json");
}

void AppTest::cleanup()
{
    resetSingletons();
    qvplat::setModuleFileNameForTesting(u"");
    m_dir.reset();
}

void AppTest::generateValidatesAndFillsDefaults()
{
    Boxes boxes;
    CQvServerHost host;
    CDlgLocalWebServerGen dialog(&host);
    _tag_WebServerInfo definition;
    dialog.setDefinition(&definition);
    dialog.setModify(false);
    whenModal([&] {
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Local WebServer Generate"));
        QVERIFY(!child<QPushButton>(&dialog, "buttonDelete")->isVisible());
        QCOMPARE(child<QComboBox>(&dialog, "comboGroup")->currentText(), QStringLiteral("None"));
        child<QLineEdit>(&dialog, "editName")->clear();
        child<QLineEdit>(&dialog, "editBasePath")->clear();
        QTest::mouseClick(child<QPushButton>(&dialog, "buttonOk"), Qt::LeftButton);
        QCOMPARE(boxes.texts, QStringList{QStringLiteral("The Local WebServer name must not be empty!")});
        QCOMPARE(dialog.focusWidget(), child<QLineEdit>(&dialog, "editName"));
        QVERIFY(dialog.isVisible());

        QTest::keyClicks(child<QLineEdit>(&dialog, "editName"), QStringLiteral("site1"));
        child<QLineEdit>(&dialog, "editPort")->clear();
        // Choosing a folder replaces Base html with it; the page is then left empty.
        child<QLineEdit>(&dialog, "editBasePath")->setText(QStringLiteral("/srv/www"));
        QCOMPARE(child<QLineEdit>(&dialog, "editBaseHtml")->text(), QStringLiteral("/srv/www"));
        child<QLineEdit>(&dialog, "editBaseHtml")->clear();
        QTest::keyClick(&dialog, Qt::Key_Return);
    });
    QCOMPARE(dialog.DoModal(), CDlgLocalWebServerGen::kResultOk);
    QCOMPARE(boxes.texts.size(), 2);
    QCOMPARE(boxes.texts[1],
             QStringLiteral("If you do not specify a default page, specify \"index.html\" for the specified path."));
    QCOMPARE(toQString(definition.name), QStringLiteral("site1"));
    QCOMPARE(definition.port, 0);
    QCOMPARE(toQString(definition.basepath), QStringLiteral("/srv/www"));
    QCOMPARE(toQString(definition.basehtml), QStringLiteral("index.html"));
    QCOMPARE(toQString(definition.grpname), QStringLiteral("None"));
    QVERIFY(definition.contentstype.size() > 10);  // the table of config.json, create mode only
}

void AppTest::modifyModeShowsTheDefinition()
{
    writeFile("user/env.ini", "[GROUPLIST]\nCNT=2\n0001=Work\n0002=Play\n");
    Boxes boxes;
    CQvServerHost host;
    host.startup();
    CDlgLocalWebServerGen dialog(&host);
    _tag_WebServerInfo definition;
    definition.name = u"api";
    definition.grpname = u"Play";
    definition.port = 9000;
    definition.basepath = u"/srv/api";
    definition.basehtml = u"start.html";
    dialog.setDefinition(&definition);
    dialog.setModify(true);
    int visitedDelete = 0;
    whenModal([&] {
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Local WebServer Modify"));
        QCOMPARE(plain(child<QPushButton>(&dialog, "buttonOk")->text()), QStringLiteral("Modify"));
        QVERIFY(child<QPushButton>(&dialog, "buttonDelete")->isVisible());
        QCOMPARE(child<QLineEdit>(&dialog, "editName")->text(), QStringLiteral("api"));
        QCOMPARE(child<QLineEdit>(&dialog, "editPort")->text(), QStringLiteral("9000"));
        QCOMPARE(child<QLineEdit>(&dialog, "editBasePath")->text(), QStringLiteral("/srv/api"));
        QCOMPARE(child<QLineEdit>(&dialog, "editBaseHtml")->text(), QStringLiteral("start.html"));
        auto* group = child<QComboBox>(&dialog, "comboGroup");
        QCOMPARE(group->currentText(), QStringLiteral("Play"));
        QStringList items;
        for (int i = 0; i < group->count(); ++i) {
            items << group->itemText(i);
        }
        QCOMPARE(items, (QStringList{QStringLiteral("None"), QStringLiteral("Work"), QStringLiteral("Play")}));
        ++visitedDelete;
        QTest::mouseClick(child<QPushButton>(&dialog, "buttonDelete"), Qt::LeftButton);
    });
    QCOMPARE(dialog.DoModal(), CDlgLocalWebServerGen::kResultDelete);
    QCOMPARE(visitedDelete, 1);
    QVERIFY(boxes.texts.isEmpty());
    QVERIFY(definition.contentstype.isEmpty());  // a modified definition keeps the map it had
}

void AppTest::mainDialogCreatesRunsChangesAndDeletes()
{
    Boxes boxes;
    writeFile("www/index.html", "<p>hello</p>");
    const QString folder = QString::fromStdString((m_dir->path() / "www").string());
    const QString port = QStringLiteral("0");  // the system picks the port; the host tells which
    CQvServerHost host;
    host.startup();
    CQvWebServerDlg dialog(&host);
    whenModal([&] {
        whenModal([&] { fillEditDialog(QStringLiteral("site"), port, QStringLiteral("None"), folder); });
        QTest::mouseClick(child<QPushButton>(&dialog, "buttonNewServer"), Qt::LeftButton);
        QCOMPARE(selected(&dialog), QStringLiteral("site"));
        QVERIFY(readUser("session.ini").find("site") != std::string::npos);

        QTest::mouseClick(child<QPushButton>(&dialog, "buttonOpenServer"), Qt::LeftButton);
        QCOMPARE(statusLineOf(host.listServers().at(0).listeningPort), QStringLiteral("HTTP/1.1 200 OK"));
        boxes.answers = {QvMessageBoxes::IdYes};
        QTest::mouseClick(child<QPushButton>(&dialog, "buttonOpenServer"), Qt::LeftButton);
        QCOMPARE(boxes.texts.value(0), QStringLiteral("The \"site\" WebServer is running. Do you want to shut down?"));
        QVERIFY(!host.listServers().at(0).running);

        whenModal([&] { fillEditDialog(QStringLiteral("site2"), port, QStringLiteral("Work"), folder); });
        QTest::mouseClick(child<QPushButton>(&dialog, "buttonChangeServer"), Qt::LeftButton);
        QCOMPARE(selected(&dialog), QStringLiteral("site2"));
        QCOMPARE(host.listServers().size(), size_t(1));
        QCOMPARE(toQString(host.listServers().at(0).name), QStringLiteral("site2"));
        QCOMPARE(toQString(host.listServers().at(0).group), QStringLiteral("Work"));

        whenModal([] {
            QTest::mouseClick(child<QPushButton>(QApplication::activeModalWidget(), "buttonDelete"), Qt::LeftButton);
        });
        QTest::mouseClick(child<QPushButton>(&dialog, "buttonChangeServer"), Qt::LeftButton);
        QVERIFY(host.listServers().empty());
        QCOMPARE(selected(&dialog), QString());
        QCOMPARE(boxes.texts.size(), 1);
        dialog.endIfOpen();
    });
    QCOMPARE(dialog.DoModal(), CQvWebServerDlg::kResultCancel);
}

void AppTest::trayMenuListsTheServers()
{
    Boxes boxes;
    CQvServerHost host;
    host.startup();
    const auto add = [&host](const char16_t* name, const char16_t* group, int serverPort, const QvString& folder) {
        std::unique_ptr<_tag_WebServerInfo> definition = host.beginEdit(QvString(u""));
        definition->name = name;
        definition->grpname = group;
        definition->port = serverPort;
        definition->basepath = folder;
        host.finishEdit(QvString(u""), std::move(definition), ServerEditAction::Confirm);
    };
    writeFile("www/index.html", "<p>hello</p>");
    const QvString folder = QvString::fromUtf8((m_dir->path() / "www").string());
    add(u"api", u"Work", 0, folder);
    add(u"site1", u"", 8080, folder);
    QVERIFY(host.runServer(u"api").ok());
    CQvWebServerWnd window(&host, [] {});
    QMenu menu;
    window.buildMenu(&menu);
    QStringList texts;
    for (QAction* action : menu.actions()) {
        texts << action->text();
    }
    QCOMPARE(texts, (QStringList{QStringLiteral("[Work]api:0 [Run]"), QStringLiteral("[Default]site1:8080 [Stop]"),
                                 QString(), QStringLiteral("Show MainWindow"), QStringLiteral("New LocalWebServer"),
                                 QStringLiteral("Exit")}));
    window.onMenuCommand(1);  // answered No: it keeps running
    QCOMPARE(boxes.texts.value(0), QStringLiteral("The \"api\" WebServer is running. Do you want to shut down?"));
    QVERIFY(host.listServers().at(0).running);
    boxes.answers = {QvMessageBoxes::IdYes};
    window.onMenuCommand(1);
    QVERIFY(!host.listServers().at(0).running);
}

void AppTest::closedWindowStoresItsRectangle()
{
    Boxes boxes;
    CQvServerHost host;
    host.startup();
    CQvWebServerDlg dialog(&host);
    whenModal([&] {
        // The stored edges are the frame's, whatever the platform draws around the client area.
        const QRect outer = dialog.frameGeometry();
        const QRect inner = dialog.geometry();
        const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                             outer.bottom() - inner.bottom());
        dialog.setGeometry(QRect(100, 50, 400, 100).marginsRemoved(frame));
        QTest::keyClick(&dialog, Qt::Key_Return);
        QVERIFY(dialog.isVisible());  // Enter never closes the main dialog
        dialog.close();
    });
    QCOMPARE(dialog.DoModal(), CQvWebServerDlg::kResultCancel);
    const std::string env = readUser("env.ini");
    for (const char* line : {"default_startx=100", "default_starty=50", "default_width=500", "default_height=150"}) {
        QVERIFY2(env.find(line) != std::string::npos, line);
    }
}

void AppTest::exitWritesOnlyFilledUserLayers()
{
    Boxes boxes;
    const QString key = QStringLiteral("qvapptest-%1").arg(QCoreApplication::applicationPid());
    CQvWebServerApp app(key);
    QVERIFY(app.InitInstance());
    QVERIFY(!CQvWebServerApp(key).checkSingleInstance());  // a second start hands over and ends
    std::unique_ptr<_tag_WebServerInfo> definition = app.host()->beginEdit(QvString(u""));
    definition->name = u"site";
    definition->grpname = u"Work";
    definition->basepath = u"/nonexistent";
    app.host()->finishEdit(QvString(u""), std::move(definition), ServerEditAction::Confirm);
    bool shown = false;
    whenModal([&] {
        shown = app.trayWindow()->mainDialog()->isVisible();
        app.trayWindow()->onMenuCommand(CQvWebServerWnd::kExit);
    });
    QTRY_VERIFY(shown && !app.trayWindow()->mainDialog()->isVisible());
    app.ExitInstance();
    QVERIFY(readUser("session.ini").find("site") != std::string::npos);
    QVERIFY(readUser("env.ini").find("Work") != std::string::npos);
    QVERIFY(!std::filesystem::exists(m_dir->path() / "user" / "net.ini"));
}

void AppTest::installedProgramWritesToXdgFolders()
{
    const auto dirOf = [](const char16_t* sub) {
        return QString::fromStdString(CQvDirMng::getInstance()->getDirPath(sub).toUtf8());
    };
    const QString root = QString::fromStdString(m_dir->path().string());
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/xdg-config")).toUtf8());
    qputenv("XDG_STATE_HOME", (root + QStringLiteral("/xdg-state")).toUtf8());
    qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/xdg-cache")).toUtf8());

    // Run from a folder of its own: everything stays beside the executable.
    QCOMPARE(dirOf(u"user"), root + QStringLiteral("/user"));

    // A folder the user cannot write (one not even root may write): what the program writes moves.
    resetSingletons();
    qvplat::setModuleFileNameForTesting(u"/proc/self/qvwebserver");
    QCOMPARE(dirOf(u"user"), root + QStringLiteral("/xdg-config/qvwebserver"));
    QCOMPARE(dirOf(u"Log"), root + QStringLiteral("/xdg-state/qvwebserver"));
    QCOMPARE(dirOf(u"temp"), root + QStringLiteral("/xdg-cache/qvwebserver"));
    QCOMPARE(dirOf(u"config"), QStringLiteral("/proc/self/config"));
    CEnvMng::getInstance()->setString(ENV_FILE_SESSION, u"ETC", u"LASTUSEDSESSION", u"Work`api");
    resetSingletons();  // saves the user layer
    QVERIFY(QFile::exists(root + QStringLiteral("/xdg-config/qvwebserver/session.ini")));
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME"}) {
        qunsetenv(name);
    }
}

void AppTest::linksOpenTheDefaultBrowser()
{
    const QString root = QString::fromStdString(m_dir->path().string());
    const std::map<const char*, QString> xdg{{"XDG_DATA_HOME", root + QStringLiteral("/data")},
                                             {"XDG_DATA_DIRS", root + QStringLiteral("/none")},
                                             {"XDG_CONFIG_HOME", root + QStringLiteral("/cfg")},
                                             {"XDG_CONFIG_DIRS", root + QStringLiteral("/none")}};
    for (const auto& [name, value] : xdg) {
        qputenv(name, value.toUtf8());
    }
    writeFile("config/env.ini", "[QVWEBSERVER]\nblog_url=https://example.org/blog?a=1&b=it's here\n");
    Boxes boxes;
    CQvServerHost host;
    host.startup();
    CQvWebServerDlg dialog(&host);
    dialog.OnGoManual();
    QCOMPARE(boxes.texts, QStringList{QStringLiteral("No registered programs found.")});

    // A browser started through a wrapper, with a field code in the middle of its Exec line.
    writeFile("browser.sh", "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.out\"\n");
    std::filesystem::permissions(m_dir->path() / "browser.sh", std::filesystem::perms::owner_all);
    writeFile("cfg/mimeapps.list", "[Default Applications]\ntext/html=fake-browser.desktop\n");
    writeFile("data/applications/fake-browser.desktop",
              "[Desktop Entry]\nType=Application\nName=Fake\nExec=env QV_MARK=1 " +
                  (m_dir->path() / "browser.sh").string() + " --new-window %U --class %c\n");
    dialog.OnVisitBlog();
    QTRY_COMPARE(QString::fromStdString(TempDir::read(m_dir->path() / "browser.sh.out")),
                 QStringLiteral("--new-window|https://example.org/blog?a=1&b=it's here|--class|"));
    QCOMPARE(boxes.texts.size(), 1);
    for (const auto& [name, value] : xdg) {
        qunsetenv(name);
    }
}

QTEST_MAIN(AppTest)
#include "AppTest.moc"
