#include <QTest>

#include "ControlsTestMain.h"
#include "controls/QtConvert.h"
#include "controls/QvCIComboBox.h"

namespace {

// Runs "command argument" lines (the first space separates them) and returns the last answer.
QString run(QvCIComboBox& combo, const QStringList& steps)
{
    QString answer;
    for (const QString& step : steps) {
        const qsizetype space = step.indexOf(QLatin1Char(' '));
        const QString command = space < 0 ? step : step.left(space);
        const QString argument = space < 0 ? QString() : step.mid(space + 1);
        answer = toQString(combo.sendCommand(fromQString(command), fromQString(argument), 0));
    }
    return answer;
}

QString ask(QvCIComboBox& combo, const char16_t* command, const char16_t* argument)
{
    return toQString(combo.sendCommand(QvString(command), QvString(argument), 0));
}

int headingCount(const QvCIComboBox& combo)
{
    const auto* headings = combo.getEntries().find(QvString(u"groups"));
    return headings == nullptr ? 0 : headings->size();
}

// Everything a command could change, as one comparable text.
QString snapshot(const QvCIComboBox& combo)
{
    return QString::fromStdString(combo.makeListJson() + combo.makeSelectionJson()) + QLatin1Char('|') +
           toQString(combo.getDisplayText());
}

}  // namespace

// The command protocol of the grouped selector, without a window.
class QvCIComboBoxTest : public QObject {
    Q_OBJECT

private slots:
    void commandSequences_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("display");  // the text the closed box shows
        QTest::addColumn<QString>("value");    // "cursel" "value"
        QTest::addColumn<int>("headings");

        const QStringList three = {QStringLiteral("additem v0`d0`G"), QStringLiteral("additem v1`d1`G"),
                                   QStringLiteral("additem v2`d2`G")};
        QTest::newRow("same entry twice is two entries under one heading")
            << QStringList{QStringLiteral("additem a`a`G"), QStringLiteral("additem a`a`G"),
                           QStringLiteral("select G`1")}
            << QStringLiteral("a") << QStringLiteral("a") << 1;
        QTest::newRow("index past the end falls back to 0")
            << three + QStringList{QStringLiteral("select G`7")} << QStringLiteral("d0") << QStringLiteral("v0") << 1;
        QTest::newRow("index equal to the count falls back to 0")
            << three + QStringList{QStringLiteral("select G`3")} << QStringLiteral("d0") << QStringLiteral("v0") << 1;
        QTest::newRow("negative index falls back to 0")
            << three + QStringList{QStringLiteral("select G`-1")} << QStringLiteral("d0") << QStringLiteral("v0") << 1;
        QTest::newRow("index that is no number reads as 0")
            << three + QStringList{QStringLiteral("select G`x")} << QStringLiteral("d0") << QStringLiteral("v0") << 1;
        QTest::newRow("index is its leading digits after space and sign")
            << three + QStringList{QStringLiteral("select G` +2nd")} << QStringLiteral("d2") << QStringLiteral("v2")
            << 1;
        QTest::newRow("empty selection takes the first key in code-unit order")
            << QStringList{QStringLiteral("additem w`web0`web"), QStringLiteral("additem d`def0`Default"),
                           QStringLiteral("select ")}
            << QStringLiteral("def0") << QStringLiteral("d") << 2;
        QTest::newRow("unknown group keeps the display text but selects nothing")
            << three + QStringList{QStringLiteral("select G`1"), QStringLiteral("select H`0")} << QStringLiteral("d1")
            << QString() << 1;
        QTest::newRow("nothing selected yet") << three << QString() << QString() << 1;
        QTest::newRow("clear empties the list and the selection")
            << three + QStringList{QStringLiteral("select G`1"), QStringLiteral("clear")} << QStringLiteral("d1")
            << QString() << 0;
        QTest::newRow("delitem removes only the first match")
            << QStringList{QStringLiteral("additem a`first`G"), QStringLiteral("additem a`second`G"),
                           QStringLiteral("delitem a`G"), QStringLiteral("select G`0")}
            << QStringLiteral("second") << QStringLiteral("a") << 1;
        QTest::newRow("delitem of the last entry keeps the heading")
            << QStringList{QStringLiteral("additem a`first`G"), QStringLiteral("delitem a`G"),
                           QStringLiteral("select G`0")}
            << QString() << QString() << 1;
    }
    void commandSequences()
    {
        QFETCH(QStringList, steps);
        QFETCH(QString, display);
        QFETCH(QString, value);
        QFETCH(int, headings);
        QvCIComboBox combo;
        run(combo, steps);
        QCOMPARE(toQString(combo.getDisplayText()), display);
        QCOMPARE(ask(combo, u"cursel", u"value"), value);
        QCOMPARE(ask(combo, u"cursel", u"disp"), value.isEmpty() ? QString() : display);
        QCOMPARE(headingCount(combo), headings);
    }

    void rejectedCommandsChangeNothing_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<QString>("answer");
        QTest::newRow("additem with two fields") << QStringLiteral("additem a`b") << QStringLiteral("false");
        QTest::newRow("delitem with one field") << QStringLiteral("delitem a") << QStringLiteral("false");
        QTest::newRow("delitem of an absent value") << QStringLiteral("delitem zz`G") << QStringLiteral("false");
        QTest::newRow("delitem in an absent group") << QStringLiteral("delitem v0`H") << QStringLiteral("false");
        QTest::newRow("select with one field") << QStringLiteral("select G") << QString();
        QTest::newRow("cursel of neither word") << QStringLiteral("cursel name") << QString();
        QTest::newRow("commands are case-sensitive") << QStringLiteral("Clear") << QString();
    }
    void rejectedCommandsChangeNothing()
    {
        QFETCH(QString, step);
        QFETCH(QString, answer);
        QvCIComboBox combo;
        run(combo,
            {QStringLiteral("additem v0`d0`G"), QStringLiteral("additem v1`d1`G"), QStringLiteral("select G`1")});
        const QString before = snapshot(combo);
        QCOMPARE(run(combo, {step}), answer);
        QCOMPARE(snapshot(combo), before);
    }

    void popupReports_data()
    {
        QTest::addColumn<int>("index");
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("value");
        QTest::newRow("not JSON changes nothing") << 1 << QStringLiteral("{\"selgrp\":\"G\",") << QStringLiteral("v0");
        QTest::newRow("index -1 changes nothing")
            << -1 << QStringLiteral("{\"selgrp\":\"G\",\"selidx\":-1}") << QStringLiteral("v0");
        QTest::newRow("a choice selects it")
            << 1 << QStringLiteral("{\"selgrp\":\"G\",\"selidx\":1}") << QStringLiteral("v1");
    }
    void popupReports()
    {
        QFETCH(int, index);
        QFETCH(QString, reply);
        QFETCH(QString, value);
        QvCIComboBox combo;
        run(combo,
            {QStringLiteral("additem v0`d0`G"), QStringLiteral("additem v1`d1`G"), QStringLiteral("select G`0")});
        combo.getPopupDelegate()->onPopupSelected(index, reply.toStdString());
        QCOMPARE(ask(combo, u"cursel", u"value"), value);
        // Only one entry carries the selected flag afterwards.
        const auto* entries = combo.getEntries().find(QvString(u"G"));
        QVERIFY(entries != nullptr);
        int flagged = 0;
        for (const QvCIComboListItem& item : *entries) {
            flagged += item.m_selected ? 1 : 0;
        }
        QCOMPARE(flagged, 1);
    }

    void focusAndButtonStates()
    {
        QvCIComboBox combo;
        ask(combo, u"focus", u"true");
        QCOMPARE(combo.getMouseState(), QvCIComboBox::kMouseHot);
        ask(combo, u"mouselbtn", u"down");
        QCOMPARE(combo.getMouseState(), QvCIComboBox::kMousePressed);
        ask(combo, u"mouselbtn", u"up");
        QVERIFY(combo.isOpen());
        // While open, losing the hover keeps the box drawn pressed.
        ask(combo, u"focus", u"false");
        QCOMPARE(combo.getMouseState(), QvCIComboBox::kMousePressed);
        ask(combo, u"mouselbtn", u"up");
        QVERIFY(!combo.isOpen());
        ask(combo, u"focus", u"false");
        QCOMPARE(combo.getMouseState(), QvCIComboBox::kMouseNormal);
    }
};

static RegisterControlsTest<QvCIComboBoxTest> s_register;

#include "QvCIComboBoxTest.moc"
