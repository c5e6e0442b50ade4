// Drives the desktop program's real dialogs under the offscreen platform, with the message
// boxes answered by the test and the "executable" in a temporary folder.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>

#include "TempDir.h"
#include "app/DlgLocalWebServerGen.h"
#include "app/MessageBoxes.h"
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

}  // namespace

class AppTest : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void generateValidatesAndFillsDefaults();
    void modifyModeShowsTheDefinition();

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

QTEST_MAIN(AppTest)
#include "AppTest.moc"
