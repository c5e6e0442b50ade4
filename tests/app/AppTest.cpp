// Drives the desktop program's real dialogs under the offscreen platform, with the message
// boxes answered by the test and the "executable" in a temporary folder. What the host and the
// settings do with an edit is the registry's tests' business; these check what the windows do.
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <filesystem>
#include <memory>
#include <regex>

#include "AppTestSupport.h"
#include "ChildProcess.h"
#include "Loopback.h"
#include "app/DlgLocalWebServerGen.h"
#include "app/QvWebServerApp.h"
#include "app/QvWebServerDlg.h"
#include "app/QvWebServerWnd.h"
#include "app/ServerActions.h"
#include "app/ServerSelector.h"
#include "controls/QtConvert.h"
#include "foundation/QvDirMng.h"
#include "platform/LocalTime.h"
#include "registry/QvServerHost.h"
#include "webserver/WebServerInfo.h"

namespace {

// Fills the edit dialog that is open now and confirms it.
void fillEditDialog(const QString& name, const QString& group, const QString& folder)
{
    QWidget* dialog = QApplication::activeModalWidget();
    QVERIFY(qobject_cast<CDlgLocalWebServerGen*>(dialog) != nullptr);
    child<QLineEdit>(dialog, "editName")->setText(name);
    child<QLineEdit>(dialog, "editPort")->setText(q("0"));  // the system picks the port
    child<QComboBox>(dialog, "comboGroup")->setEditText(group);
    child<QLineEdit>(dialog, "editBasePath")->setText(folder);
    child<QLineEdit>(dialog, "editBaseHtml")->setText(q("index.html"));
    QTest::mouseClick(child<QPushButton>(dialog, "buttonOk"), Qt::LeftButton);
}

// Adds a server through the host, as a confirmed edit does.
void addServer(CQvServerHost& host, const char16_t* name, const char16_t* group, int port, const std::string& folder)
{
    std::unique_ptr<_tag_WebServerInfo> definition = host.beginEdit(QvString(u""));
    definition->name = name;
    definition->grpname = group;
    definition->port = port;
    definition->basepath = QvString::fromUtf8(folder);
    host.finishEdit(QvString(u""), std::move(definition), ServerEditAction::Confirm);
}

QString selected(QWidget* dialog)
{
    return toQString(selectorCommand(child<QWidget>(dialog, "selectorUsedServer"), u"cursel", u"value"));
}

QStringList textsOf(QMenu* menu)
{
    QStringList texts;
    for (QAction* action : menu->actions()) {
        texts << action->text();
    }
    return texts;
}

}  // namespace

class AppTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_box = std::make_unique<Sandbox>();
        std::filesystem::create_directories(m_box->dir / "config");
        std::filesystem::copy_file(QV_CONFIG_JSON, m_box->dir / "config" / "config.json");
    }
    void cleanup()
    {
        m_box.reset();
        // A test that ended the program (QCoreApplication::exit) leaves Qt's quit flag set, so every
        // later modal loop would return at once; the application's own loop clears it.
        QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        QCoreApplication::exec();
    }

    void generateRefusesThenFillsTheDefinition()
    {
        Boxes boxes;
        CQvServerHost host;
        CDlgLocalWebServerGen dialog(&host);
        _tag_WebServerInfo definition;
        dialog.setDefinition(&definition);
        dialog.setModify(false);
        boxes.otherwise = QvMessageBoxes::IdYes;  // keeps a page that is not there
        whenModal([&] {
            QVERIFY(child<QPushButton>(&dialog, "buttonDelete")->isVisible());  // taken as Cancel in create mode
            // A refused definition: the box tells why, the field gets the focus, the dialog stays.
            child<QLineEdit>(&dialog, "editName")->clear();
            QTest::mouseClick(child<QPushButton>(&dialog, "buttonOk"), Qt::LeftButton);
            QCOMPARE(boxes.texts, QStringList{q("The Local WebServer name must not be empty!")});
            QCOMPARE(dialog.focusWidget(), child<QLineEdit>(&dialog, "editName"));
            QVERIFY(dialog.isVisible());

            QTest::keyClicks(child<QLineEdit>(&dialog, "editName"), q("site1"));
            child<QLineEdit>(&dialog, "editPort")->clear();
            // Base html stays as it was; left empty it becomes index.html (a notice), which is not there.
            child<QLineEdit>(&dialog, "editBasePath")->setText(q("/srv/www"));
            QCOMPARE(child<QLineEdit>(&dialog, "editBaseHtml")->text(), QString());
            QTest::keyClick(&dialog, Qt::Key_Return);
        });
        QCOMPARE(dialog.DoModal(), CDlgLocalWebServerGen::kResultOk);
        QCOMPARE(boxes.texts.size(), 3);
        QVERIFY(boxes.texts.value(2).startsWith(q("The page \"index.html\" is not a file below the base path")));
        QCOMPARE(toQString(definition.name), q("site1"));
        QCOMPARE(definition.port, 0);
        QCOMPARE(toQString(definition.basepath), q("/srv/www"));
        QCOMPARE(toQString(definition.grpname), q("None"));
        QVERIFY(definition.contentstype.size() > 10);  // the table of config.json, create mode only
    }

    void modifyModeShowsTheDefinition()
    {
        m_box->dir.write("user/env.ini", "[GROUPLIST]\nCNT=2\n0001=Work\n0002=Play\n");
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
        whenModal([&] {
            QCOMPARE(dialog.windowTitle(), q("Local WebServer Modify"));  // the mode switches the window
            QStringList shown;
            for (const char* name : {"editName", "editPort", "editBasePath", "editBaseHtml"}) {
                shown << child<QLineEdit>(&dialog, name)->text();
            }
            auto* group = child<QComboBox>(&dialog, "comboGroup");
            for (int i = 0; i < group->count(); ++i) {
                shown << group->itemText(i);
            }
            QCOMPARE(shown, (QStringList{q("api"), q("9000"), q("/srv/api"), q("start.html"), q("None"), q("Work"),
                                         q("Play")}));
            QCOMPARE(group->currentText(), q("Play"));
            QTest::mouseClick(child<QPushButton>(&dialog, "buttonDelete"), Qt::LeftButton);
        });
        QCOMPARE(dialog.DoModal(), CDlgLocalWebServerGen::kResultDelete);
        QVERIFY(boxes.texts.isEmpty());
        QVERIFY(definition.contentstype.isEmpty());  // a modified definition keeps the map it had
    }

    void mainDialogCreatesRunsChangesAndDeletes()
    {
        Boxes boxes;
        const QString folder = QString::fromStdString(site());
        CQvServerHost host;
        host.startup();
        CQvWebServerDlg dialog(&host);
        whenModal([&] {
            whenModal([&] { fillEditDialog(q("site"), q("None"), folder); });
            QTest::mouseClick(child<QPushButton>(&dialog, "buttonNewServer"), Qt::LeftButton);
            QCOMPARE(selected(&dialog), q("site"));

            child<QPushButton>(&dialog, "buttonOpenServer")->setFocus();
            QTest::keyClick(child<QPushButton>(&dialog, "buttonOpenServer"), Qt::Key_Return);
            QVERIFY(host.listServers().at(0).running);
            boxes.answers = {QvMessageBoxes::IdYes};
            QTest::mouseClick(child<QPushButton>(&dialog, "buttonOpenServer"), Qt::LeftButton);
            QCOMPARE(boxes.texts.value(0), q("The \"site\" WebServer is running. Do you want to shut down?"));
            QVERIFY(!host.listServers().at(0).running);

            whenModal([&] { fillEditDialog(q("site2"), q("Work"), folder); });
            QTest::mouseClick(child<QPushButton>(&dialog, "buttonChangeServer"), Qt::LeftButton);
            QCOMPARE(selected(&dialog), q("site2"));
            QCOMPARE(host.listServers().size(), size_t(1));
            QCOMPARE(toQString(host.listServers().at(0).group), q("Work"));

            whenModal([] {
                QTest::mouseClick(child<QPushButton>(QApplication::activeModalWidget(), "buttonDelete"),
                                  Qt::LeftButton);
            });
            QTest::mouseClick(child<QPushButton>(&dialog, "buttonChangeServer"), Qt::LeftButton);
            QVERIFY(host.listServers().empty());
            QCOMPARE(selected(&dialog), QString());
            QCOMPARE(boxes.texts.size(), 1);
            dialog.endIfOpen();
        });
        QCOMPARE(dialog.DoModal(), CQvWebServerDlg::kResultCancel);
    }

    void changedPortRestartsTheServer()
    {
        Boxes boxes;
        CQvServerHost host;
        host.startup();
        addServer(host, u"site", u"", 0, site());
        QVERIFY(host.runServer(u"site").ok());
        const qvtest::Listener taken;  // the new port is in use: the restart fails and says so
        CDlgLocalWebServerGen dialog(&host);
        whenModal([&] {
            child<QLineEdit>(&dialog, "editPort")->setText(QString::number(taken.port()));
            QTest::mouseClick(child<QPushButton>(&dialog, "buttonOk"), Qt::LeftButton);
        });
        QCOMPARE(ServerActions(&host).edit(u"site", dialog, nullptr).kind, QvEditOutcome::Changed);
        QCOMPARE(host.listServers().at(0).port, taken.port());
        QVERIFY(!host.listServers().at(0).running);
        QVERIFY2(boxes.texts.size() == 1 && boxes.texts.value(0).contains(QString::number(taken.port())),
                 qPrintable(boxes.texts.value(0)));
    }

    void trayMenuListsTheServers()
    {
        Boxes boxes;
        CQvServerHost host;
        host.startup();
        addServer(host, u"api", u"Work", 0, site());
        addServer(host, u"site1", u"", 8080, site());
        QVERIFY(host.runServer(u"api").ok());
        CQvWebServerWnd window(&host, [] {});
        QMenu menu;
        window.buildMenu(&menu);
        window.buildMenu(&menu);  // every opening builds it again; the fixed commands stay
        QCOMPARE(textsOf(&menu), (QStringList{q("[Work]api:0 [Run]"), q("[Default]site1:8080 [Stop]"), QString(),
                                              q("Show MainWindow"), q("New LocalWebServer"), q("Exit")}));
        menu.actions().at(0)->trigger();  // answered No: it keeps running
        QTRY_COMPARE(boxes.texts.value(0), q("The \"api\" WebServer is running. Do you want to shut down?"));
        QVERIFY(host.listServers().at(0).running);
        boxes.answers = {QvMessageBoxes::IdYes};
        menu.actions().at(0)->trigger();
        QTRY_VERIFY(!host.listServers().at(0).running);
    }

    void closedWindowStoresItsRectangle()
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
            dialog.setGeometry(QRect(100, 50, 2000, 400).marginsRemoved(frame));  // above the minimum size
            QTest::keyClick(&dialog, Qt::Key_Return);
            QVERIFY(dialog.isVisible());  // Enter never closes the main dialog
            dialog.close();
        });
        QCOMPARE(dialog.DoModal(), CQvWebServerDlg::kResultCancel);
        const std::string env = m_box->user("env.ini");
        for (const char* line :
             {"default_startx=100", "default_starty=50", "default_width=2100", "default_height=450"}) {
            QVERIFY2(env.find(line) != std::string::npos, line);
        }
    }

    void accessLogSwitchWritesADailyFile()
    {
        m_box->dir.write("user/env.ini", "[QVWEBSERVER]\naccesslog=1\n");
        Boxes boxes;
        CQvWebServerApp app(QStringLiteral("qvapptest-log-%1").arg(QCoreApplication::applicationPid()));
        QVERIFY(app.InitInstance());
        addServer(*app.host(), u"site", u"", 0, site());
        QVERIFY(app.host()->runServer(u"site").ok());
        QCOMPARE(loopback::bodyOf(loopback::httpGet(app.host()->listServers().at(0).listeningPort, "/x.css")), "");
        app.ExitInstance();
        const QvString day = CQvDirMng::makeDatedName(qvplat::getLocalTime(), u"access_", u"log", false, false, false);
        const std::string log = TempDir::read(m_box->dir / "Log" / day.toUtf8());
        QVERIFY2(std::regex_search(log, std::regex(R"(^127\.0\.0\.1 - - \[[^\]]+\] "GET /x\.css HTTP/1\.1" 404 -\n$)")),
                 log.c_str());
    }

    void linksOpenTheDefaultBrowser()
    {
        const std::string root = m_box->dir.path().string();
        const ScopedEnv xdg{{"XDG_DATA_HOME", (root + "/data").c_str()},
                            {"XDG_DATA_DIRS", (root + "/none").c_str()},
                            {"XDG_CONFIG_HOME", (root + "/cfg").c_str()},
                            {"XDG_CONFIG_DIRS", (root + "/none").c_str()}};
        m_box->dir.write("config/env.ini", "[QVWEBSERVER]\nblog_url=https://example.org/blog?a=1&b=it's here\n");
        Boxes boxes;
        CQvServerHost host;
        host.startup();
        CQvWebServerDlg dialog(&host);
        dialog.OnGoManual();
        QCOMPARE(boxes.texts, QStringList{q("No registered programs found.")});

        // The desktop's default for text/html (how its Exec line expands: DesktopEntryTest).
        const auto browser = m_box->dir.write("browser.sh", "#!/bin/sh\nprintf '%s|' \"$@\" > \"$0.out\"\n");
        std::filesystem::permissions(browser, std::filesystem::perms::owner_all);
        m_box->dir.write("cfg/mimeapps.list", "[Default Applications]\ntext/html=fake-browser.desktop\n");
        m_box->dir.write("data/applications/fake-browser.desktop",
                         "[Desktop Entry]\nType=Application\nName=Fake\nExec=" + browser.string() + " %U\n");
        dialog.OnVisitBlog();
        QTRY_COMPARE(QString::fromStdString(TempDir::read(browser.string() + ".out")),
                     q("https://example.org/blog?a=1&b=it's here|"));
        QCOMPARE(boxes.texts.size(), 1);
    }

    // A command-line process beside the desktop program: its add, edit, run and remove reach the tray
    // menu through the settings watcher, and Change Server starts from what it stored.
    void otherProcessesChangesAppear()
    {
        Boxes boxes;
        CQvServerHost host;
        host.startup();
        const std::string cliPath = (m_box->dir / "qvwebserver-cli").string();
        std::filesystem::copy_file(QV_CLI_PATH, cliPath);
        const std::string folder = site();
        CQvWebServerWnd window(&host, [] {});
        const auto cli = [&](std::vector<std::string> args) {
            std::string out;
            QCOMPARE(ChildProcess::run(cliPath, args, out), 0);
        };
        const auto menuTexts = [&] {
            window.buildMenu(window.trayMenu());
            return textsOf(window.trayMenu());
        };
        window.editDialog()->show();  // an open edit dialog's group list follows too
        cli({"add", "--name", "cliadd", "--port", "0", "--folder", folder, "--group", "Cli"});
        QTRY_VERIFY_WITH_TIMEOUT(menuTexts().contains(q("[Cli]cliadd:0 [Stop]")), 5000);
        QTRY_VERIFY(child<QComboBox>(window.editDialog(), "comboGroup")->findText(q("Cli")) >= 0);
        window.editDialog()->hide();
        window.newServerAction()->trigger();  // queued: its dialog opens before the steps below run
        whenModal([&] {  // New LocalWebServer of the name it stored: refused, and the dialog stays open
            fillEditDialog(q("cliadd"), q("None"), QString::fromStdString(folder));
            QCOMPARE(boxes.texts.value(0), q("A server named \"cliadd\" already exists."));
            QVERIFY(window.editDialog()->isVisible());
            window.editDialog()->endIfOpen();
        });
        QTRY_COMPARE(boxes.texts.size(), 1);
        boxes.texts.clear();
        cli({"edit", "cliadd", "--page", "other.html"});
        QCOMPARE(host.beginEdit(u"cliadd")->basehtml, QvString(u"other.html"));  // read from disk at once

        ChildProcess server;
        QVERIFY(server.start(cliPath, {"run", "cliadd"}, (m_box->dir / "run.log").string()));
        QVERIFY(server.waitForOutput("Press Ctrl-C to stop.", 10000));
        QTRY_VERIFY_WITH_TIMEOUT(menuTexts().contains(q("[Cli]cliadd:0 [Run]")), 5000);
        window.trayMenu()->actions().at(0)->trigger();
        QTRY_COMPARE(boxes.texts.value(0),
                     q("The \"cliadd\" WebServer is running in another process of this program."));
        server.signal(15);
        QCOMPARE(server.wait(5000), 0);

        // Modify after another process changed the definition: asked, and "No" stores only the page.
        m_box->dir.write("www/mine.html", "<p>mine</p>");              // a page that exists: no question about it
        boxes.answers = {QvMessageBoxes::IdNo, QvMessageBoxes::IdNo};  // modify rather than run; only my fields
        menuTexts();
        window.trayMenu()->actions().at(0)->trigger();
        whenModal([&] {
            cli({"edit", "cliadd", "--port", "1234"});
            QWidget* dialog = QApplication::activeModalWidget();
            child<QLineEdit>(dialog, "editBaseHtml")->setText(q("mine.html"));
            QTest::mouseClick(child<QPushButton>(dialog, "buttonOk"), Qt::LeftButton);
        });
        QTRY_VERIFY(boxes.texts.value(2).startsWith(q("Another process changed the \"cliadd\" WebServer")));
        const std::unique_ptr<_tag_WebServerInfo> merged = host.beginEdit(u"cliadd");
        QCOMPARE(merged->port, 1234);
        QCOMPARE(merged->basehtml, QvString(u"mine.html"));

        cli({"remove", "cliadd"});
        QTRY_VERIFY_WITH_TIMEOUT(menuTexts().value(0).isEmpty(), 5000);  // only the separator and fixed items
    }

private:
    // A folder with an index.html, for servers to serve.
    std::string site() const { return m_box->dir.write("www/index.html", "<p>hello</p>").parent_path().string(); }

    std::unique_ptr<Sandbox> m_box;
};

QTEST_MAIN(AppTest)
#include "AppTest.moc"
