#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QWheelEvent>

#include "controls/QtConvert.h"
#include "controls/QvCIComboBox.h"
#include "controls/QvComboPopWnd.h"
#include "controls/QvComboPopupContent.h"
#include "controls/QvComplexInput.h"

// The selector in its host window with its popup, driven by the mouse (offscreen platform).
class QvComboPopWndTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QvComplexInput> m_host;
    QvCIComboBox* m_combo = nullptr;

    // Host with groups A (a0, a1) and B (b0), entry a0 selected.
    void makeHost(int extraEntries = 0)
    {
        m_host = std::make_unique<QvComplexInput>();
        m_host->resize(220, 24);
        m_combo = m_host->createComboInput();
        for (const char16_t* entry : {u"a0`a0`A", u"a1`a1`A", u"b0`b0`B"}) {
            m_host->sendCommand(QvString(u"additem"), QvString(entry));
        }
        for (int i = 0; i < extraEntries; ++i) {
            m_host->sendCommand(QvString(u"additem"), QvString::formatted(u"c%d`c%d`C", i, i));
        }
        m_host->sendCommand(QvString(u"select"), QvString(u"A`0"));
        m_host->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_host.get()));
    }

    QString cursel() const { return toQString(m_host->sendCommand(QvString(u"cursel"), QvString(u"value"))); }

    CQvComboPopupContent* openPopup()
    {
        QTest::mouseClick(m_host.get(), Qt::LeftButton, {}, QPoint(100, 12));
        CQvComboPopWnd* popup = m_combo->getPopup();
        if (popup == nullptr || !popup->isVisible()) {
            return nullptr;
        }
        return popup->getContent();
    }

private slots:
    void cleanup()
    {
        m_combo = nullptr;
        m_host.reset();
    }

    // A click on the box opens one row per heading and entry; then a click on a row, or none.
    void clickOnARow_data()
    {
        QTest::addColumn<int>("row");  // -1: the popup is closed without a choice
        QTest::addColumn<bool>("chooses");
        QTest::addColumn<QString>("value");
        QTest::newRow("an entry selects it and closes") << 4 << true << QStringLiteral("b0");
        QTest::newRow("a heading does nothing") << 3 << false << QStringLiteral("a0");
        QTest::newRow("closing without a choice keeps the selection") << -1 << false << QStringLiteral("a0");
    }
    void clickOnARow()
    {
        QFETCH(int, row);
        QFETCH(bool, chooses);
        QFETCH(QString, value);
        makeHost();
        QSignalSpy changed(m_host.get(), &QvComplexInput::inputChanged);
        CQvComboPopupContent* content = openPopup();
        QVERIFY(content != nullptr);
        QVERIFY(m_combo->isOpen());
        QCOMPARE(content->getRowCount(), 5);
        QVERIFY(content->isHeadingRow(0) && content->isHeadingRow(3));
        QCOMPARE(content->getSelectedRow(), 1);
        if (row < 0) {
            m_combo->getPopup()->close();
        } else {
            QTest::mouseClick(content, Qt::LeftButton, {}, content->getRowRect(row).center());
        }
        const bool closed = chooses || row < 0;
        QCOMPARE(m_combo->getPopup()->isVisible(), !closed);
        QCOMPARE(m_combo->isOpen(), !closed);
        QCOMPARE(cursel(), value);
        QCOMPARE(changed.count(), chooses ? 1 : 0);
    }

    void keyboardOpensMovesPastHeadingsAndChooses()
    {
        makeHost();
        QTest::keyClick(m_host.get(), Qt::Key_Space);
        CQvComboPopWnd* popup = m_combo->getPopup();
        QVERIFY(popup != nullptr && popup->isVisible());
        QTest::keyClick(popup, Qt::Key_Down);
        QCOMPARE(popup->getContent()->getHotRow(), 2);
        QTest::keyClick(popup, Qt::Key_Down);
        QCOMPARE(popup->getContent()->getHotRow(), 4);
        QTest::keyClick(popup, Qt::Key_Down);
        QCOMPARE(popup->getContent()->getHotRow(), 4);
        QTest::keyClick(popup, Qt::Key_Return);
        QVERIFY(!popup->isVisible());
        QCOMPARE(cursel(), QStringLiteral("b0"));
    }

    void wheelScrollsALongList()
    {
        makeHost(30);
        CQvComboPopupContent* content = openPopup();
        QVERIFY(content != nullptr);
        QScrollBar* bar = m_combo->getPopup()->getVerticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), 0);
        QWidget* viewport = content->parentWidget();
        const QPointF at(20, 20);
        QWheelEvent wheel(at, viewport->mapToGlobal(at), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &wheel);
        QVERIFY(bar->value() > 0);
    }
};

QTEST_MAIN(QvComboPopWndTest)

#include "QvComboPopWndTest.moc"
