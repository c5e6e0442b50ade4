// The update check against the stand-in update service on loopback ports, through the real main
// dialog, with the message boxes answered by the test and the elevated launcher replaced.
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTcpServer>
#include <filesystem>
#include <memory>
#include <mutex>

#include "AppTestSupport.h"
#include "ChildProcess.h"
#include "app/QvWebServerDlg.h"
#include "app/UpdateCheck.h"
#include "controls/QtConvert.h"
#include "httpclient/QvHttpClient.h"
#include "platform/Process.h"
#include "registry/QvServerHost.h"

namespace {

constexpr int kWaitMs = 20000;  // generous: the machine is shared
const QByteArray kSetupBytes("#!/bin/sh\necho new setup\n\x01\x02\xff", 28);

// {"path": "/appversion", "fields": {"cmd": cmd, "input": input}}, as the service records a post.
QJsonObject post(const char* cmd, const QString& input)
{
    const QJsonObject fields{{q("cmd"), q(cmd)}, {q("input"), input}};
    return QJsonObject{{q("path"), q("/appversion")}, {q("fields"), fields}};
}

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
        caught = caught || (watched == qApp && event->type() == QEvent::Quit);
        return watched == qApp && event->type() == QEvent::Quit;
    }
};

// One way a check can go: the service's latest version (empty: nothing answers) and its options,
// whether the installer starts, the boxes shown and the last one's buttons and icon, the posts the
// service records, whether the setup file is written, and the bar's last value (-1: it stays hidden).
struct CheckCase {
    QString latest;
    QStringList serviceArgs;
    bool launches;
    QStringList boxes;
    int lastButtons, lastIcon, posts;
    bool written;
    int progress;
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
    }
    void cleanup()
    {
        QvHttpClient::getInstance().waitUntilIdle(kWaitMs);
        QvHttpClient::releaseInstance();
        m_service.reset();
        m_box.reset();
    }

    void answersEndTheCheckAsTheyShould_data();
    void answersEndTheCheckAsTheyShould();

private:
    void startService(const QString& latest, const QStringList& extra);
    void pointAt(const QString& serviceUrl, const QString& fileUrl);
    QList<QJsonObject> recordedPosts() const;

    std::unique_ptr<Sandbox> m_box;
    std::unique_ptr<ChildProcess> m_service;
};

// Points env.ini's config layer at the service.
void UpdateCheckTest::pointAt(const QString& serviceUrl, const QString& fileUrl)
{
    m_box->dir.write("config/env.ini",
                     QStringLiteral("[UPDATE]\nSERVICEURL=%1\nFILEURL=%2\n").arg(serviceUrl, fileUrl).toStdString());
}

void UpdateCheckTest::startService(const QString& latest, const QStringList& extra)
{
    const std::string dir = m_box->dir.path().string();
    std::vector<std::string> args = {QV_UPDATE_SERVICE,
                                     "--service-port=0",
                                     "--file-port=0",
                                     "--quiet",
                                     "--latest=" + latest.toStdString(),
                                     "--setup-file=" + dir + "/setup/new_setup.exe",
                                     "--record=" + dir + "/posts.jsonl"};
    for (const QString& arg : extra) {
        args.push_back(arg.toStdString());
    }
    m_service = std::make_unique<ChildProcess>();
    QVERIFY(m_service->start("python3", args, dir + "/service.out"));
    QVERIFY(m_service->waitForOutput("/setup/", kWaitMs));
    // "update service on http://127.0.0.1:P/appversion, files on http://127.0.0.1:F/setup/"
    const QRegularExpression ports(q("http://127\\.0\\.0\\.1:(\\d+)/appversion.*http://127\\.0\\.0\\.1:(\\d+)/"));
    const QRegularExpressionMatch match = ports.match(QString::fromStdString(m_service->output()));
    QVERIFY(match.hasMatch());
    pointAt(QStringLiteral("http://127.0.0.1:%1").arg(match.captured(1)),
            QStringLiteral("http://127.0.0.1:%1").arg(match.captured(2)));
}

QList<QJsonObject> UpdateCheckTest::recordedPosts() const
{
    QList<QJsonObject> posts;
    for (const QByteArray& line : QByteArray::fromStdString(TempDir::read(m_box->dir / "posts.jsonl")).split('\n')) {
        if (!line.isEmpty()) {
            posts << QJsonDocument::fromJson(line).object();
        }
    }
    return posts;
}

void UpdateCheckTest::answersEndTheCheckAsTheyShould_data()
{
    QTest::addColumn<CheckCase>("c");
    const QString offer = q("An updated version exists. Do you want to update?");
    const int ok = QvMessageBoxes::Ok;
    const int yesNo = QvMessageBoxes::YesNo;
    const int warning = QvMessageBoxes::Warning;
    const int question = QvMessageBoxes::Question;
    QTest::newRow("latest version") << CheckCase{
        q("1.0.0.1"), {}, true, {q("This program is the latest version.")}, ok, int(QvMessageBoxes::Information), 1,
        false,        -1};
    QTest::newRow("service unreachable") << CheckCase{
        QString(), {},    true, {q("[-994] Response Data Error!\nUpdate version can not be checked!!")}, ok, warning,
        0,         false, -1};
    QTest::newRow("file url outside the web root")
        << CheckCase{q("9.0.0.0"),
                     {q("--file-url"), q("http://127.0.0.1/setup/new_setup.exe")},
                     true,
                     {offer, q("The file path is not valid!!")},
                     yesNo,
                     warning,
                     2,
                     false,
                     -1};
    QTest::newRow("download without length")  // no length, no percentage
        << CheckCase{q("9.0.0.0"), {q("--no-length")}, true, {offer}, yesNo, question, 2, false, 0};
    QTest::newRow("installer does not start") << CheckCase{
        q("9.0.0.0"), {},      false, {offer, q("Installation file execution failed. Please update again!!")},
        yesNo,        warning, 2,     true,
        100};
    QTest::newRow("installer starts and the program ends")
        << CheckCase{q("9.0.0.0"), {}, true, {offer}, yesNo, question, 2, true, 100};
}

void UpdateCheckTest::answersEndTheCheckAsTheyShould()
{
    QFETCH(CheckCase, c);
    const auto& [latest, serviceArgs, launches, boxes, lastButtons, lastIcon, posts, written, progress] = c;

    if (!latest.isEmpty()) {
        startService(latest, serviceArgs);
    } else {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const QString url = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
        closed.close();
        pointAt(url, url);
    }
    Boxes answered;
    answered.otherwise = QvMessageBoxes::IdYes;
    Launcher launcher;
    launcher.succeed = launches;
    QuitCatcher quit;
    QList<int> seen;  // the progress bar's values
    CQvServerHost host;
    CQvWebServerDlg dialog(&host);
    auto* bar = child<QProgressBar>(&dialog, "progressUpdate");
    const int untouched = bar->value();
    connect(bar, &QProgressBar::valueChanged, this, [&seen](int value) { seen << value; });
    whenModal([&] {
        dialog.OnCheckAppVersion();
        QTRY_COMPARE_WITH_TIMEOUT(answered.texts.size(), boxes.size(), kWaitMs);
        // Every request of the check finished and every answer reached the user-interface thread.
        QVERIFY(QvHttpClient::getInstance().waitUntilIdle(kWaitMs));
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(answered.texts, boxes);
        QCOMPARE(answered.lastButtons, lastButtons);
        QCOMPARE(answered.lastIcon, lastIcon);

        const QList<QJsonObject> recorded = recordedPosts();
        QCOMPARE(recorded.size(), posts);
        const QString version = toQString(qvplat::getProductVersion());
        const QString asked = q("{\"appname\":\"QvWebServer\",\"appos\":\"Window\",\"appversion\":\"%1\"}\n");
        QCOMPARE(recorded.value(0, post("appverchk", asked.arg(version))), post("appverchk", asked.arg(version)));
        const QJsonObject fileUrl = post("appfileurl", q("{\"appname\":\"QvWebServer\",\"appos\":\"Window\"}\n"));
        QCOMPARE(recorded.value(1, fileUrl), fileUrl);

        const QString stored = toQString(CQvDirMng::getInstance()->getFilePath(u"temp", u"new_setup.exe", false));
        QFile file(stored);
        QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), written ? kSetupBytes : QByteArray());
        QCOMPARE(launcher.calls(), written ? QStringList{stored} : QStringList());
        QCOMPARE(bar->isHidden(), progress < 0);
        QCOMPARE(seen.value(seen.size() - 1, untouched), progress < 0 ? untouched : progress);
        // The program is told to end (the request is caught here, so the tests go on).
        if (written && launches) {
            QTRY_VERIFY_WITH_TIMEOUT(quit.caught, kWaitMs);
        }
        QVERIFY(quit.caught == (written && launches));
        dialog.close();
    });
    dialog.DoModal();
}

QTEST_MAIN(UpdateCheckTest)
#include "UpdateCheckTest.moc"
