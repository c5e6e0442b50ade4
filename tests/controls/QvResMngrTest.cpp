#include <QFile>
#include <QTest>
#include <optional>

#include "ExeFolder.h"
#include "controls/QtConvert.h"
#include "controls/QvResMngr.h"

// The colour table and the image cache, with the "executable" in a temporary folder.
class QvResMngrTest : public QObject {
    Q_OBJECT

private:
    std::optional<ExeFolder> m_exe;

    QvString write(const std::string& relative, const QByteArray& bytes)
    {
        return QvString(m_exe->dir.write(relative, bytes.toStdString()).u16string());
    }

private slots:
    void init() { m_exe.emplace("qvres"); }
    void cleanup() { m_exe.reset(); }

    // Key 7 is 5:5:5 before each table; a table that cannot be read keeps the colours.
    void colorTables_data()
    {
        QTest::addColumn<QByteArray>("entries");  // the list's entries; empty: the file is empty
        QTest::addColumn<bool>("loads");
        QTest::addColumn<QColor>("color");
        const auto row = [](const char* name, const char* entries, bool loads, QColor color) {
            QTest::newRow(name) << QByteArray(entries) << loads << color;
        };
        row("only the low eight bits count", R"({"key": 7, "rgb": "300:0:0"})", true, QColor(44, 0, 0));
        row("fewer than three fields is skipped", R"({"key": 7, "rgb": "10:20"})", true, Qt::black);
        row("three fields in order", R"({"key": 7, "rgb": "1:2:3"}, {"key": 8, "rgb": "9:9:9"})", true,
            QColor(1, 2, 3));
        row("a key the table lacks is black", R"({"key": 8, "rgb": "9:9:9"})", true, Qt::black);
        row("not JSON keeps the colours", "{", false, QColor(5, 5, 5));
        row("empty file keeps the colours", "", false, QColor(5, 5, 5));
    }
    void colorTables()
    {
        QFETCH(QByteArray, entries);
        QFETCH(bool, loads);
        QFETCH(QColor, color);
        QvResMngr* resources = QvResMngr::getInstance();
        QVERIFY(resources->loadColorTable(fromQString(QStringLiteral(QV_SOURCE_DIR "/config/clrtbl_normal.json"))));
        QVERIFY(resources->loadColorTable(write("good.json", R"({"list": [{"key": 7, "rgb": "5:5:5"}]})")));
        const QByteArray table = entries.isEmpty() ? entries : "{\"list\": [" + entries + "]}";
        QCOMPARE(resources->loadColorTable(write("config/clrtbl_normal.json", table)), loads);
        QVERIFY(!resources->loadColorTable(QvString((m_exe->dir / "missing.json").u16string())));
        QCOMPARE(resources->getColor(7), color);
    }

    void arrowImageIsLoadedOnceAndCached()
    {
        QvResMngr* resources = QvResMngr::getInstance();
        // A failed load caches nothing: the file is found once it is there.
        QVERIFY(resources->getArrowImage() == nullptr);
        QFile source(QStringLiteral(QV_SOURCE_DIR "/res/img/DirDown.png"));
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QvString path = write("res/img/DirDown.png", source.readAll());
        const QImage* first = resources->getArrowImage();
        QVERIFY(first != nullptr);
        QVERIFY(first->hasAlphaChannel());
        QVERIFY(QFile::remove(toQString(path)));
        QCOMPARE(resources->getArrowImage(), first);
    }
};

QTEST_MAIN(QvResMngrTest)

#include "QvResMngrTest.moc"
