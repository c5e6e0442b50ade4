// The update check against the stand-in update service on loopback ports, through the real main
// dialog, with the message boxes answered by the test, release keys and signatures made by the
// minisign tool, and pkexec replaced by a stub on PATH that records how it was called.
#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTcpServer>
#include <memory>

#include "AppTestSupport.h"
#include "ChildProcess.h"
#include "app/QvWebServerApp.h"
#include "app/QvWebServerDlg.h"
#include "app/QvWebServerWnd.h"
#include "controls/QtConvert.h"
#include "httpclient/QvHttpClient.h"
#include "platform/Version.h"
#include "registry/QvServerHost.h"

namespace {

constexpr int kWaitMs = 20000;  // generous: the machine is shared
const QByteArray kSetupBytes("#!/bin/sh\necho new setup\n\x01\x02\xff", 28);
const QString kOffer = QStringLiteral("An updated version exists. Do you want to update?");
const QString kNotDownloaded = QStringLiteral("The update file could not be downloaded. Nothing was run.");
const QString kNotVerified = QStringLiteral("The update file could not be verified. Nothing was run.");
const QString kNoKey = QStringLiteral("Updates cannot be verified: no release key is configured.");
// Records its argument count and exit status, keeps a copy of the file it was given when that file
// is executable, and answers with $QV_STUB_EXIT.
const char* const kPkexecStub =
    "#!/bin/sh\necho \"$# ${QV_STUB_EXIT:-0}\" >> \"$0.log\"\n[ -x \"$1\" ] && cp \"$1\" \"$0.ran\"\n"
    "exit ${QV_STUB_EXIT:-0}\n";

// {"path": "/appversion", "fields": {"cmd": cmd, "input": input}}, as the service records a post.
QJsonObject post(const char* cmd, const QString& input)
{
    const QJsonObject fields{{q("cmd"), q(cmd)}, {q("input"), input}};
    return QJsonObject{{q("path"), q("/appversion")}, {q("fields"), fields}};
}

// Swallows the application's quit request and remembers it.
struct QuitCatcher : QObject {
    bool caught = false;
    QuitCatcher() { qApp->installEventFilter(this); }
    ~QuitCatcher() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        caught = caught || (watched == qApp && event->type() == QEvent::Quit);
        return watched == qApp && event->type() == QEvent::Quit;
    }
};

enum class Signed { Good, OtherKey, Missing };
enum class Key { Config, None, UserLayerOnly };

// One way a check can go: the service's latest version (empty: nothing answers) and its options,
// how the setup file is signed, where the release key is, extra [UPDATE] lines, what pkexec answers;
// then the boxes shown (every question answered Yes), the last one's buttons and icon, the posts
// the service records and whether pkexec is called with the signed file.
struct CheckCase {
    QString latest;
    QStringList serviceArgs;
    Signed signature;
    Key key;
    QString update;
    int pkexecExit;
    QStringList boxes;
    int lastButtons, lastIcon, posts;
    bool callsPkexec;
};

}  // namespace

Q_DECLARE_METATYPE(CheckCase)

class UpdateCheckTest : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        m_box = std::make_unique<Sandbox>();
        m_box->dir.write("setup/new_setup.exe", kSetupBytes.toStdString());
        m_box->dir.write("bin/pkexec", kPkexecStub);
        QFile::setPermissions(dir("bin/pkexec"), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
        m_path = std::make_unique<ScopedEnv>(std::initializer_list<std::pair<const char*, const char*>>{
            {"PATH", (dir("bin") + q(":") + qEnvironmentVariable("PATH")).toUtf8().constData()}});
    }
    void cleanup()
    {
        QvHttpClient::getInstance().waitUntilIdle(kWaitMs);
        m_service.reset();
        m_path.reset();
        m_box.reset();
    }

    void checkEndsAsItShouldAndRunsOnlyAVerifiedFile_data()
    {
        QTest::addColumn<CheckCase>("c");
        const int ok = QvMessageBoxes::Ok, yesNo = QvMessageBoxes::YesNo;
        const int warning = QvMessageBoxes::Warning, question = QvMessageBoxes::Question;
        const QString newer = q("9.0.0.0");
        // Offered, then refused with box (every question answered Yes).
        const auto refused = [&](const QString& box, const QStringList& args = {}, Signed how = Signed::Good,
                                 const QString& update = {}, Key key = Key::Config) {
            return CheckCase{newer, args, how, key, update, 0, {kOffer, box}, ok, warning, key == Key::Config ? 2 : 1,
                             false};
        };
        // A good signature and the key in the config layer: what pkexec answers decides the rest.
        const auto shown = [](const QString& latest, const QStringList& args, int pkexecExit, const QStringList& boxes,
                              int buttons, int icon, int posts, bool callsPkexec) {
            return CheckCase{latest, args,    Signed::Good, Key::Config, {},         pkexecExit,
                             boxes,  buttons, icon,         posts,       callsPkexec};
        };
        QTest::newRow("signature good: runs and the program ends")
            << shown(newer, {}, 0, {kOffer}, yesNo, question, 2, true);
        QTest::newRow("elevation refused: the program keeps running")
            << shown(newer, {}, 126, {kOffer, q("Installation file execution failed. Please update again!!")}, yesNo,
                     warning, 2, true);
        QTest::newRow("wrong signature") << refused(kNotVerified, {}, Signed::OtherKey);
        QTest::newRow("missing .minisig") << refused(kNotVerified, {}, Signed::Missing);
        QTest::newRow("truncated body") << refused(kNotDownloaded, {q("--truncate=10")});
        QTest::newRow("status 404") << refused(kNotDownloaded, {q("--status=404")});
        QTest::newRow("no Content-Length") << refused(kNotDownloaded, {q("--no-length")});
        QTest::newRow("failed download") << refused(kNotDownloaded, {q("files-closed")});
        QTest::newRow("trickle past the deadline")
            << refused(kNotDownloaded, {q("--truncate=10"), q("--stall")}, Signed::Good, q("DEADLINE=1"));
        QTest::newRow("too large") << refused(kNotDownloaded, {}, Signed::Good, q("MAXDOWNLOAD=27"));
        QTest::newRow("no release key") << refused(kNoKey, {}, Signed::Good, {}, Key::None);
        QTest::newRow("a key in the user layer is not trusted")
            << refused(kNoKey, {}, Signed::Good, {}, Key::UserLayerOnly);
        QTest::newRow("latest version") << shown(q("1.0.0.1"), {}, 0, {q("This program is the latest version.")}, ok,
                                                 int(QvMessageBoxes::Information), 1, false);
        QTest::newRow("service unreachable") << shown(
            {}, {}, 0, {q("[-994] Response Data Error!\nUpdate version can not be checked!!")}, ok, warning, 0, false);
        QTest::newRow("file url outside the web root")
            << shown(newer, {q("--file-url=http://127.0.0.1/setup/new_setup.exe")}, 0,
                     {kOffer, q("The file path is not valid!!")}, yesNo, warning, 2, false);
    }

    void checkEndsAsItShouldAndRunsOnlyAVerifiedFile()
    {
        QFETCH(CheckCase, c);
        const QString key = makeKeys("release");
        QVERIFY(!key.isEmpty() && !makeKeys("other").isEmpty());
        if (c.signature != Signed::Missing) {
            const QString secret = dir(c.signature == Signed::OtherKey ? "keys/other.sec" : "keys/release.sec");
            const std::string file = dir("setup/new_setup.exe").toStdString();
            std::string out;
            QCOMPARE(ChildProcess::run("minisign", {"-S", "-s", secret.toStdString(), "-m", file}, out), 0);
        }
        QString update = c.update;
        if (c.key == Key::Config) {
            update += q("\nPUBLICKEY=") + key;
        } else if (c.key == Key::UserLayerOnly) {
            m_box->dir.write("user/env.ini", (q("[UPDATE]\nPUBLICKEY=") + key + q("\n")).toStdString());
        }
        QStringList args = c.serviceArgs;
        const bool filesClosed = args.removeAll(q("files-closed")) > 0;
        startService(c.latest, args, update, filesClosed);
        const ScopedEnv answer{{"QV_STUB_EXIT", QByteArray::number(c.pkexecExit).constData()}};

        Boxes answered;
        answered.otherwise = QvMessageBoxes::IdYes;
        QuitCatcher quit;
        CQvServerHost host;
        CQvWebServerDlg dialog(&host);
        auto* bar = child<QProgressBar>(&dialog, "progressUpdate");
        QVERIFY(!bar->geometry().intersects(child<QLabel>(&dialog, "linkCheckVersion")->geometry()));
        whenModal([&] {
            dialog.OnCheckAppVersion();
            QTRY_COMPARE_WITH_TIMEOUT(answered.texts.size(), c.boxes.size(), kWaitMs);
            if (c.callsPkexec) {
                QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(dir("bin/pkexec.log")), kWaitMs);
            }
            // Every request of the check finished and every answer reached the user-interface thread.
            QVERIFY(QvHttpClient::getInstance().waitUntilIdle(kWaitMs));
            QTRY_VERIFY_WITH_TIMEOUT(quit.caught == (c.callsPkexec && c.pkexecExit == 0), kWaitMs);
            QCOMPARE(answered.texts, c.boxes);
            QCOMPARE(answered.lastButtons, c.lastButtons);
            QCOMPARE(answered.lastIcon, c.lastIcon);

            QList<QJsonObject> recorded;
            for (const QByteArray& line :
                 QByteArray::fromStdString(TempDir::read(m_box->dir / "posts.jsonl")).split('\n')) {
                if (!line.isEmpty()) {
                    recorded << QJsonDocument::fromJson(line).object();
                }
            }
            QCOMPARE(recorded.size(), c.posts);
            const QString version = toQString(qvplat::getProductVersion());
            const QString asked = q("{\"appname\":\"QvWebServer\",\"appos\":\"Window\",\"appversion\":\"%1\"}\n");
            QCOMPARE(recorded.value(0, post("appverchk", asked.arg(version))), post("appverchk", asked.arg(version)));
            const QJsonObject fileUrl = post("appfileurl", q("{\"appname\":\"QvWebServer\",\"appos\":\"Window\"}\n"));
            QCOMPARE(recorded.value(1, fileUrl), fileUrl);

            // pkexec got one argument: the signed file, made executable; nothing else was ever started.
            QFile ran(dir("bin/pkexec.ran"));
            QCOMPARE(ran.open(QIODevice::ReadOnly) ? ran.readAll() : QByteArray(),
                     c.callsPkexec ? kSetupBytes : QByteArray());
            const std::string calls = TempDir::read(m_box->dir / "bin/pkexec.log");
            QCOMPARE(calls, c.callsPkexec ? "1 " + std::to_string(c.pkexecExit) + "\n" : std::string());
            // What was downloaded is gone, and the bar with it.
            QTRY_COMPARE_WITH_TIMEOUT(QDir(dir("temp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                                      QStringList(), kWaitMs);
            QVERIFY(bar->isHidden());
            dialog.close();
        });
        dialog.DoModal();
    }

    // Exit from the tray while the download stalls: the request is cancelled, not waited for, and the
    // exit returns with nothing of the check still running (the stall itself would last for ever).
    void exitDuringAStalledDownloadCancelsItAtOnce()
    {
        const QString key = makeKeys("release");
        m_box->dir.write("setup/new_setup.exe", std::string(200000, 'x'));
        startService(q("9.0.0.0"), {q("--truncate=1000"), q("--stall")}, q("PUBLICKEY=") + key, false);
        Boxes answered;
        answered.otherwise = QvMessageBoxes::IdYes;
        CQvWebServerApp app(QStringLiteral("qvupdatetest-%1").arg(QCoreApplication::applicationPid()));
        QVERIFY(app.InitInstance());
        QElapsedTimer exiting;
        whenModal([&] {
            CQvWebServerDlg* dialog = app.trayWindow()->mainDialog();
            dialog->OnCheckAppVersion();
            QTRY_VERIFY_WITH_TIMEOUT(child<QProgressBar>(dialog, "progressUpdate")->isVisible(), kWaitMs);
            exiting.start();
            app.trayWindow()->exitAction()->trigger();
        });
        QTRY_VERIFY_WITH_TIMEOUT(exiting.isValid() && !app.trayWindow()->mainDialog()->isVisible(), kWaitMs);
        app.ExitInstance();
        qInfo("exit during a stalled download: %lld ms from Exit to the end of the exit sequence", exiting.elapsed());
        QVERIFY(QvHttpClient::getInstance().waitUntilIdle(0));
        QCOMPARE(answered.texts, QStringList{kOffer});
        QCOMPARE(QDir(dir("temp")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    }

private:
    QString dir(const char* name) const { return QString::fromStdString((m_box->dir.path() / name).string()); }

    // Makes a key pair with minisign under keys/<name>; returns the public key's base64 line.
    QString makeKeys(const char* name)
    {
        QDir().mkpath(dir("keys"));
        const std::string base = dir("keys").toStdString() + "/" + name;
        std::string output;
        if (ChildProcess::run("minisign", {"-G", "-W", "-f", "-p", base + ".pub", "-s", base + ".sec"}, output) != 0) {
            qWarning("minisign -G: %s", output.c_str());
            return {};
        }
        return QString::fromStdString(TempDir::read(base + ".pub")).split(u'\n').value(1);
    }

    // Starts the service (or, with latest empty, points at a port nobody listens on) and writes env.ini's
    // config layer: both URLs, then the update lines.
    void startService(const QString& latest, const QStringList& extra, const QString& update, bool filesClosed)
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        QString serviceUrl = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
        QString fileUrl = serviceUrl;
        closed.close();
        if (!latest.isEmpty()) {
            const std::string root = m_box->dir.path().string();
            std::vector<std::string> args = {QV_UPDATE_SERVICE,
                                             "--service-port=0",
                                             "--file-port=0",
                                             "--quiet",
                                             "--latest=" + latest.toStdString(),
                                             "--setup-file=" + root + "/setup/new_setup.exe",
                                             "--record=" + root + "/posts.jsonl"};
            for (const QString& arg : extra) {
                args.push_back(arg.toStdString());
            }
            m_service = std::make_unique<ChildProcess>();
            QVERIFY(m_service->start("python3", args, root + "/service.out"));
            QVERIFY(m_service->waitForOutput("/setup/", kWaitMs));
            // "update service on http://127.0.0.1:P/appversion, files on http://127.0.0.1:F/setup/"
            const QRegularExpression ports(
                q("http://127\\.0\\.0\\.1:(\\d+)/appversion.*http://127\\.0\\.0\\.1:(\\d+)/"));
            const QRegularExpressionMatch match = ports.match(QString::fromStdString(m_service->output()));
            QVERIFY(match.hasMatch());
            serviceUrl = QStringLiteral("http://127.0.0.1:%1").arg(match.captured(1));
            fileUrl = filesClosed ? fileUrl : QStringLiteral("http://127.0.0.1:%1").arg(match.captured(2));
        }
        m_box->dir.write(
            "config/env.ini",
            QStringLiteral("[UPDATE]\nSERVICEURL=%1\nFILEURL=%2\n%3\n").arg(serviceUrl, fileUrl, update).toStdString());
    }

    std::unique_ptr<Sandbox> m_box;
    std::unique_ptr<ScopedEnv> m_path;
    std::unique_ptr<ChildProcess> m_service;
};

QTEST_MAIN(UpdateCheckTest)
#include "UpdateCheckTest.moc"
