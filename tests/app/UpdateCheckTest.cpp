// The update check against the stand-in update service on loopback ports, through the real main
// dialog, with the message boxes answered by the test and the elevated launcher replaced.
#include <QApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>

#include "ChildProcess.h"
#include "TempDir.h"
#include "app/MessageBoxes.h"
#include "app/QvWebServerDlg.h"
#include "app/UpdateCheck.h"
#include "controls/QtConvert.h"
#include "foundation/EnvMng.h"
#include "foundation/QvDirMng.h"
#include "httpclient/QvHttpClient.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Profile.h"
#include "registry/QvServerHost.h"
#include "registry/WebServerMngr.h"

namespace {

constexpr int kWaitMs = 20000;  // generous: the machine is shared
const QByteArray kSetupBytes("#!/bin/sh\necho new setup\n\x01\x02\xff", 28);

QString u8(const char* text)
{
    return QString::fromUtf8(text);
}

// {"path": "/appversion", "fields": {"cmd": cmd, "input": input}}, as the service records a post.
QJsonObject post(const QString& cmd, const QString& input)
{
    QJsonObject fields;
    fields.insert(u8("cmd"), cmd);
    fields.insert(u8("input"), input);
    QJsonObject record;
    record.insert(u8("path"), u8("/appversion"));
    record.insert(u8("fields"), fields);
    return record;
}

// Records every message box; a question is answered Yes.
struct Boxes {
    QStringList texts;
    int lastButtons = -1;
    int lastIcon = -1;
    Boxes()
    {
        QvMessageBoxes::setHandler(
            [this](QWidget*, const QString& text, QvMessageBoxes::Buttons buttons, QvMessageBoxes::Icon icon) {
                texts << text;
                lastButtons = buttons;
                lastIcon = icon;
                return buttons == QvMessageBoxes::Ok ? int(QvMessageBoxes::IdOk) : int(QvMessageBoxes::IdYes);
            });
    }
    ~Boxes() { QvMessageBoxes::setHandler({}); }
};

// Stands in for pkexec: remembers the paths and answers as told. Called on pool threads.
struct Launcher {
    std::mutex lock;
    QStringList paths;
    bool succeed = true;
    Launcher()
    {
        CQvUpdateCheck::setLauncherForTesting([this](const QvString& path) {
            std::lock_guard<std::mutex> guard(lock);
            paths << toQString(path);
            return succeed;
        });
    }
    ~Launcher() { CQvUpdateCheck::setLauncherForTesting({}); }
    QStringList calls()
    {
        std::lock_guard<std::mutex> guard(lock);
        return paths;
    }
};

// Swallows the application's quit request and remembers it.
struct QuitCatcher : QObject {
    bool caught = false;
    QuitCatcher() { qApp->installEventFilter(this); }
    ~QuitCatcher() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == qApp && event->type() == QEvent::Quit) {
            caught = true;
            return true;
        }
        return false;
    }
};

void whenModal(std::function<void()> steps)
{
    QTimer::singleShot(0, qApp, [steps = std::move(steps)] {
        steps();
        while (QWidget* modal = QApplication::activeModalWidget()) {
            modal->close();
        }
    });
}

// Lets every request of the check finish and every answer reach the user-interface thread.
void settle()
{
    QVERIFY(QvHttpClient::getInstance().waitUntilIdle(kWaitMs));
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

}  // namespace

class UpdateCheckTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void answersEndTheCheckAsTheyShould_data();
    void answersEndTheCheckAsTheyShould();
    void updateIsOfferedDownloadedStartedAndClosesTheProgram();

private:
    // Starts the stand-in service and points env.ini's config layer at it.
    void startService(const QString& latest, const QStringList& extra);
    void pointAt(const QString& serviceUrl, const QString& fileUrl);
    QList<QJsonObject> recordedPosts() const;

    std::unique_ptr<TempDir> m_dir;
    std::unique_ptr<ChildProcess> m_service;
};

void UpdateCheckTest::init()
{
    m_dir = std::make_unique<TempDir>("qvupdate");
    qvplat::setModuleFileNameForTesting((m_dir->path() / "qvwebserver").u16string());
    m_dir->write("setup/new_setup.exe", kSetupBytes.toStdString());
}

void UpdateCheckTest::cleanup()
{
    QvHttpClient::getInstance().waitUntilIdle(kWaitMs);
    QvHttpClient::releaseInstance();
    m_service.reset();
    CQvWebServerMngr::releaseInstance();
    CEnvMng::releaseInstance();
    CQvDirMng::releaseInstance();
    qvplat::discardPrivateProfileCacheForTesting();
    qvplat::setModuleFileNameForTesting(u"");
    m_dir.reset();
}

void UpdateCheckTest::pointAt(const QString& serviceUrl, const QString& fileUrl)
{
    m_dir->write("config/env.ini",
                 QStringLiteral("[UPDATE]\nSERVICEURL=%1\nFILEURL=%2\n").arg(serviceUrl, fileUrl).toStdString());
}

void UpdateCheckTest::startService(const QString& latest, const QStringList& extra)
{
    std::vector<std::string> args = {QV_UPDATE_SERVICE,
                                     "--latest",
                                     latest.toStdString(),
                                     "--setup-file",
                                     (m_dir->path() / "setup" / "new_setup.exe").string(),
                                     "--service-port",
                                     "0",
                                     "--file-port",
                                     "0",
                                     "--quiet",
                                     "--record",
                                     (m_dir->path() / "posts.jsonl").string()};
    for (const QString& arg : extra) {
        args.push_back(arg.toStdString());
    }
    m_service = std::make_unique<ChildProcess>();
    QVERIFY(m_service->start("python3", args, (m_dir->path() / "service.out").string()));
    QVERIFY(m_service->waitForOutput("/setup/", kWaitMs));
    // "update service on http://127.0.0.1:P/appversion, files on http://127.0.0.1:F/setup/"
    const QRegularExpression ports(
        QStringLiteral("http://127\\.0\\.0\\.1:(\\d+)/appversion.*http://127\\.0\\.0\\.1:(\\d+)/"));
    const QRegularExpressionMatch match = ports.match(QString::fromStdString(m_service->output()));
    QVERIFY(match.hasMatch());
    pointAt(QStringLiteral("http://127.0.0.1:%1").arg(match.captured(1)),
            QStringLiteral("http://127.0.0.1:%1").arg(match.captured(2)));
}

QList<QJsonObject> UpdateCheckTest::recordedPosts() const
{
    QList<QJsonObject> posts;
    const std::filesystem::path file = m_dir->path() / "posts.jsonl";
    if (!std::filesystem::exists(file)) {
        return posts;
    }
    for (const QByteArray& line : QByteArray::fromStdString(TempDir::read(file)).split('\n')) {
        if (!line.isEmpty()) {
            posts << QJsonDocument::fromJson(line).object();
        }
    }
    return posts;
}

void UpdateCheckTest::answersEndTheCheckAsTheyShould_data()
{
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QString>("latest");
    QTest::addColumn<QStringList>("serviceArgs");
    QTest::addColumn<bool>("launches");
    QTest::addColumn<QStringList>("boxes");
    QTest::addColumn<int>("lastButtons");
    QTest::addColumn<int>("lastIcon");
    QTest::addColumn<int>("posts");
    QTest::addColumn<bool>("written");

    const QString offer = QStringLiteral("An updated version exists. Do you want to update?");
    QTest::newRow("latest version") << true << "1.0.0.1" << QStringList() << true
                                    << QStringList{QStringLiteral("This program is the latest version.")}
                                    << int(QvMessageBoxes::Ok) << int(QvMessageBoxes::Information) << 1 << false;
    QTest::newRow("service unreachable") << false << "" << QStringList() << true
                                         << QStringList{QStringLiteral(
                                                "[-994] Response Data Error!\nUpdate version can not be checked!!")}
                                         << int(QvMessageBoxes::Ok) << int(QvMessageBoxes::Warning) << 0 << false;
    QTest::newRow("file url outside the web root")
        << true << "9.0.0.0" << QStringList{u8("--file-url"), u8("http://127.0.0.1/setup/new_setup.exe")} << true
        << QStringList{offer, QStringLiteral("The file path is not valid!!")} << int(QvMessageBoxes::YesNo)
        << int(QvMessageBoxes::Warning) << 2 << false;
    QTest::newRow("download without length")
        << true << "9.0.0.0" << QStringList{u8("--no-length")} << true << QStringList{offer}
        << int(QvMessageBoxes::YesNo) << int(QvMessageBoxes::Question) << 2 << false;
    QTest::newRow("installer does not start")
        << true << "9.0.0.0" << QStringList() << false
        << QStringList{offer, QStringLiteral("Installation file execution failed. Please update again!!")}
        << int(QvMessageBoxes::YesNo) << int(QvMessageBoxes::Warning) << 2 << true;
}

void UpdateCheckTest::answersEndTheCheckAsTheyShould()
{
    QFETCH(bool, reachable);
    QFETCH(QString, latest);
    QFETCH(QStringList, serviceArgs);
    QFETCH(bool, launches);
    QFETCH(QStringList, boxes);
    QFETCH(int, lastButtons);
    QFETCH(int, lastIcon);
    QFETCH(int, posts);
    QFETCH(bool, written);

    if (reachable) {
        startService(latest, serviceArgs);
    } else {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const QString url = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
        closed.close();
        pointAt(url, url);
    }
    Boxes answered;
    Launcher launcher;
    launcher.succeed = launches;
    CQvServerHost host;
    CQvWebServerDlg dialog(&host);
    auto* bar = dialog.findChild<QProgressBar*>(QStringLiteral("progressUpdate"));
    QVERIFY(bar != nullptr);
    const int untouched = bar->value();
    whenModal([&] {
        dialog.OnCheckAppVersion();
        QTRY_COMPARE_WITH_TIMEOUT(answered.texts.size(), boxes.size(), kWaitMs);
        settle();
        QCOMPARE(answered.texts, boxes);
        QCOMPARE(answered.lastButtons, lastButtons);
        QCOMPARE(answered.lastIcon, lastIcon);
        QCOMPARE(recordedPosts().size(), posts);
        QCOMPARE(std::filesystem::exists(m_dir->path() / "temp" / "new_setup.exe"), written);
        QCOMPARE(launcher.calls().size(), written ? 1 : 0);
        if (posts < 2 || serviceArgs.contains(QStringLiteral("--file-url"))) {
            // Progress of the form posts never reaches the bar.
            QVERIFY(bar->isHidden());
            QCOMPARE(bar->value(), untouched);
        }
    });
    dialog.DoModal();
}

void UpdateCheckTest::updateIsOfferedDownloadedStartedAndClosesTheProgram()
{
    startService(QStringLiteral("9.0.0.0"), {});
    Boxes answered;
    Launcher launcher;
    CQvServerHost host;
    CQvWebServerDlg dialog(&host);
    auto* bar = dialog.findChild<QProgressBar*>(QStringLiteral("progressUpdate"));
    QList<int> seen;
    QuitCatcher quit;
    connect(bar, &QProgressBar::valueChanged, this, [&seen](int value) { seen << value; });
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.OnCheckAppVersion(); });
    // Guards the test against a dialog that never closes itself.
    QTimer::singleShot(kWaitMs, &dialog, [&dialog] { dialog.done(QDialog::Rejected + 100); });

    QCOMPARE(dialog.DoModal(), int(CQvWebServerDlg::kResultCancel));

    QCOMPARE(answered.texts, QStringList{QStringLiteral("An updated version exists. Do you want to update?")});
    const QString stored = toQString(CQvDirMng::getInstance()->getFilePath(u"temp", u"new_setup.exe", false));
    QCOMPARE(launcher.calls(), QStringList{stored});
    QFile file(stored);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), kSetupBytes);
    QVERIFY(!bar->isHidden());
    QVERIFY(!seen.isEmpty());
    QCOMPARE(seen.last(), 100);

    const QList<QJsonObject> posts = recordedPosts();
    QCOMPARE(posts.size(), 2);
    const QString version = toQString(qvplat::getProductVersion());
    QCOMPARE(posts[0],
             post(u8("appverchk"),
                  u8("{\"appname\":\"QvWebServer\",\"appos\":\"Window\",\"appversion\":\"%1\"}\n").arg(version)));
    QCOMPARE(posts[1], post(u8("appfileurl"), u8("{\"appname\":\"QvWebServer\",\"appos\":\"Window\"}\n")));

    // The program is told to end (the request is caught here, so the tests go on).
    QTRY_VERIFY_WITH_TIMEOUT(quit.caught, kWaitMs);
}

QTEST_MAIN(UpdateCheckTest)
#include "UpdateCheckTest.moc"
