// The command protocol of the grouped selector, without a window.
#include <QTest>

#include "controls/QtConvert.h"
#include "controls/QvCIComboBox.h"

namespace {

QString q(const char* text)
{
    return QString::fromUtf8(text);
}

// Runs "command argument|command argument..." (the first space separates them; "settle" calls
// ensureEntrySelected); the last answer.
QString run(QvCIComboBox& combo, const char* steps)
{
    QString answer;
    for (const QString& step : q(steps).split(QLatin1Char('|'), Qt::SkipEmptyParts)) {
        if (step == QLatin1String("settle")) {  // what the owner calls after filling
            combo.ensureEntrySelected();
            continue;
        }
        const qsizetype space = step.indexOf(QLatin1Char(' '));
        const QString argument = space < 0 ? QString() : step.mid(space + 1);
        answer = toQString(combo.sendCommand(fromQString(step.left(space)), fromQString(argument), 0));
    }
    return answer;
}

// Three entries v0..v2 (shown as d0..d2) under the heading G.
constexpr const char* kThree = "additem v0`d0`G|additem v1`d1`G|additem v2`d2`G";

}  // namespace

class QvCIComboBoxTest : public QObject {
    Q_OBJECT

private slots:
    void commandSequences_data()
    {
        QTest::addColumn<QString>("steps");    // after kThree
        QTest::addColumn<QString>("display");  // the text the closed box shows
        QTest::addColumn<QString>("value");    // "cursel" "value"
        QTest::addColumn<int>("headings");
        const auto row = [](const char* name, const char* steps, const char* display, const char* value, int headings) {
            QTest::newRow(name) << q(steps) << q(display) << q(value) << headings;
        };
        row("same entry twice is two entries", "additem a`a`G|additem a`a`G|select G`4", "a", "a", 1);
        row("index equal to the count falls back to 0", "select G`3", "d0", "v0", 1);
        row("negative index falls back to 0", "select G`-1", "d0", "v0", 1);
        row("index that is no number reads as 0", "select G`x", "d0", "v0", 1);
        row("index is its leading digits after space and sign", "select G` +2nd", "d2", "v2", 1);
        row("empty selection takes the first key in code-unit order",
            "additem w`web0`web|additem d`def0`Default|select ", "def0", "d", 3);
        row("unknown group keeps the display text but selects nothing", "select G`1|select H`0", "d1", "", 1);
        row("nothing selected yet", "", "", "", 1);
        row("clear empties the list and the selection", "select G`1|clear", "d1", "", 0);
        row("delitem removes only the first match", "additem a`first`G|additem a`second`G|delitem a`G|select G`3",
            "second", "a", 1);
        row("delitem of the last entry keeps the heading", "additem a`first`H|delitem a`H|select H`0", "", "", 2);
        row("settling on a heading takes the first server", "clear|additem w`web0`web|additem x`x0`zz|select |settle",
            "web0", "w", 2);
        row("settling with no server left shows nothing", "select G`1|clear|select |settle", "", "", 0);
        row("settling on a group that is gone takes the first server", "select G`1|select H`0|settle", "d0", "v0", 1);
        row("settling keeps a server selection", "select G`2|settle", "d2", "v2", 1);
    }
    void commandSequences()
    {
        QFETCH(QString, steps);
        QFETCH(QString, display);
        QFETCH(QString, value);
        QFETCH(int, headings);
        QvCIComboBox combo;
        run(combo, kThree);
        run(combo, steps.toUtf8().constData());
        QCOMPARE(toQString(combo.getDisplayText()), display);
        QCOMPARE(run(combo, "cursel value"), value);
        QCOMPARE(run(combo, "cursel disp"), value.isEmpty() ? QString() : display);
        const auto* groups = combo.getEntries().find(QvString(u"groups"));
        QCOMPARE(groups == nullptr ? 0 : groups->size(), headings);
    }

    void rejectedCommandsChangeNothing_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("answer");
        QTest::newRow("additem with two fields") << q("additem a`b") << q("false");
        QTest::newRow("delitem with one field") << q("delitem a") << q("false");
        QTest::newRow("delitem of an absent value") << q("delitem zz`G") << q("false");
        QTest::newRow("delitem in an absent group") << q("delitem v0`H") << q("false");
        QTest::newRow("select with one field") << q("select G") << QString();
        QTest::newRow("cursel of neither word") << q("cursel name") << QString();
        QTest::newRow("commands are case-sensitive") << q("Clear") << QString();
    }
    void rejectedCommandsChangeNothing()
    {
        QFETCH(QString, step);
        QFETCH(QString, answer);
        QvCIComboBox combo;
        run(combo, kThree);
        run(combo, "select G`1");
        const auto snapshot = [&combo] {
            return QString::fromStdString(combo.makeListJson() + combo.makeSelectionJson()) + QLatin1Char('|') +
                   toQString(combo.getDisplayText());
        };
        const QString before = snapshot();
        QCOMPARE(run(combo, step.toUtf8().constData()), answer);
        QCOMPARE(snapshot(), before);
    }

    void popupReports_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("value");
        QTest::newRow("not JSON changes nothing") << 1 << q("{\"selgrp\":\"G\",") << q("v0");
        QTest::newRow("index -1 changes nothing") << -1 << q("{\"selgrp\":\"G\",\"selidx\":-1}") << q("v0");
        QTest::newRow("a choice selects it") << 1 << q("{\"selgrp\":\"G\",\"selidx\":1}") << q("v1");
    }
    void popupReports()
    {
        QFETCH(int, index);
        QFETCH(QString, reply);
        QFETCH(QString, value);
        QvCIComboBox combo;
        run(combo, kThree);
        run(combo, "select G`0");
        combo.getPopupDelegate()->onPopupSelected(index, reply.toStdString());
        QCOMPARE(run(combo, "cursel value"), value);
        // Only one entry carries the selected flag afterwards.
        int flagged = 0;
        for (const QvCIComboListItem& item : *combo.getEntries().find(QvString(u"G"))) {
            flagged += item.m_selected ? 1 : 0;
        }
        QCOMPARE(flagged, 1);
    }

    void focusAndButtonStates()
    {
        QvCIComboBox combo;
        run(combo, "focus true");
        QCOMPARE(combo.getMouseState(), QvCIComboBox::kMouseHot);
        run(combo, "mouselbtn down");
        QCOMPARE(combo.getMouseState(), QvCIComboBox::kMousePressed);
        run(combo, "mouselbtn up");
        QVERIFY(combo.isOpen());
        // While open, losing the hover keeps the box drawn pressed.
        run(combo, "focus false");
        QCOMPARE(combo.getMouseState(), QvCIComboBox::kMousePressed);
        run(combo, "mouselbtn up");
        QVERIFY(!combo.isOpen());
        run(combo, "focus false");
        QCOMPARE(combo.getMouseState(), QvCIComboBox::kMouseNormal);
    }
};

QTEST_MAIN(QvCIComboBoxTest)
#include "QvCIComboBoxTest.moc"
