#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "controls/QtConvert.h"
#include "controls/QvResMngr.h"
#include "foundation/QvDirMng.h"
#include "platform/FileSystem.h"

namespace {

QString colorTable(const char* entries)
{
    return QStringLiteral("{\"list\": [%1]}").arg(QString::fromUtf8(entries));
}

}  // namespace

// The colour table and the image cache, with the "executable" in a temporary folder.
class QvResMngrTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;

    QString write(const QString& relative, const QByteArray& bytes)
    {
        const QString path = m_dir.filePath(relative);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
            qFatal("cannot write a test file");
        }
        return path;
    }

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        QvResMngr::releaseInstance();
        CQvDirMng::releaseInstance();
        qvplat::setModuleFileNameForTesting(fromQString(m_dir.filePath(QStringLiteral("qvwebserver"))).toStd());
    }
    void cleanup()
    {
        QvResMngr::releaseInstance();
        CQvDirMng::releaseInstance();
        qvplat::setModuleFileNameForTesting(u"");
    }

    void colorEntries_data()
    {
        QTest::addColumn<QString>("table");
        QTest::addColumn<QColor>("color");
        QTest::newRow("only the low eight bits count")
            << colorTable(R"({"key": 7, "rgb": "300:0:0"})") << QColor(44, 0, 0);
        QTest::newRow("fewer than three fields is skipped")
            << colorTable(R"({"key": 7, "rgb": "10:20"})") << QColor(Qt::black);
        QTest::newRow("three fields in order")
            << colorTable(R"({"key": 7, "rgb": "1:2:3"}, {"key": 8, "rgb": "9:9:9"})") << QColor(1, 2, 3);
        QTest::newRow("a key the table lacks is black")
            << colorTable(R"({"key": 8, "rgb": "9:9:9"})") << QColor(Qt::black);
    }
    void colorEntries()
    {
        QFETCH(QString, table);
        QFETCH(QColor, color);
        const QString path = write(QStringLiteral("config/clrtbl_normal.json"), table.toUtf8());
        QVERIFY(QvResMngr::getInstance()->loadColorTable(fromQString(path)));
        QCOMPARE(QvResMngr::getInstance()->getColor(7), color);
    }

    void unreadableTableKeepsTheColours_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("not JSON") << QByteArray("{\"list\": [");
        QTest::newRow("empty file") << QByteArray();
    }
    void unreadableTableKeepsTheColours()
    {
        QFETCH(QByteArray, bytes);
        QvResMngr* resources = QvResMngr::getInstance();
        QVERIFY(resources->loadColorTable(fromQString(QStringLiteral(QV_SOURCE_DIR "/config/clrtbl_normal.json"))));
        const QString good = write(QStringLiteral("good.json"), colorTable(R"({"key": 7, "rgb": "1:2:3"})").toUtf8());
        QVERIFY(resources->loadColorTable(fromQString(good)));
        QVERIFY(!resources->loadColorTable(fromQString(write(QStringLiteral("bad.json"), bytes))));
        QVERIFY(!resources->loadColorTable(fromQString(m_dir.filePath(QStringLiteral("missing.json")))));
        QCOMPARE(resources->getColor(7), QColor(1, 2, 3));
    }

    void arrowImageIsLoadedOnceAndCached()
    {
        QvResMngr* resources = QvResMngr::getInstance();
        // A failed load caches nothing: the file is found once it is there.
        QVERIFY(resources->getArrowImage() == nullptr);
        QFile source(QStringLiteral(QV_SOURCE_DIR "/res/img/DirDown.png"));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QString path = write(QStringLiteral("res/img/DirDown.png"), source.readAll());
        const QImage* first = resources->getArrowImage();
        QVERIFY(first != nullptr);
        QVERIFY(first->hasAlphaChannel());
        QVERIFY(QFile::remove(path));
        QCOMPARE(resources->getArrowImage(), first);
    }

    void fileIconsNeedTheDesktop()
    {
        QvResMngr* resources = QvResMngr::getInstance();
        QVERIFY(resources->getFileIcon(QvString(u"index.html")).isNull());
        QVERIFY(resources->loadSystemImageList());
        QVERIFY(!resources->getFileIcon(QvString(u"index.html")).isNull());
    }
};

QTEST_MAIN(QvResMngrTest)

#include "QvResMngrTest.moc"
