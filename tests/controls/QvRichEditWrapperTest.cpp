#include <QTest>

#include "controls/IQvRichEditDelegate.h"
#include "controls/QvRichEditCtrl.h"
#include "controls/QvRichEditWrapper.h"

namespace {

class RecordingDelegate : public IQvRichEditDelegate {
public:
    void onRichEditLButtonDown(int id) override { calls << QStringLiteral("down %1").arg(id); }
    void onRichEditLButtonUp(int id) override { calls << QStringLiteral("up %1").arg(id); }
    void onRichEditClick(int id) override { calls << QStringLiteral("click %1").arg(id); }
    void onRichEditDblClick(int id) override { calls << QStringLiteral("double %1").arg(id); }

    QStringList calls;
};

}  // namespace

// The framed display: its layout and its mouse callbacks.
class QvRichEditWrapperTest : public QObject {
    Q_OBJECT

private slots:
    // As the edit dialog sets it up: the frame on top and bottom only, one line centred.
    void layoutLeavesTheSidesToTheMargin()
    {
        CQvRichEditWrapper wrapper;
        wrapper.resize(200, 40);
        wrapper.initDisplay(QvString(u"Sans"), 12, Qt::white);
        wrapper.setFrame();
        const QRect inner = wrapper.getInnerRect();
        QCOMPARE(inner.left(), 1);  // the 1-pixel margin, no frame on the sides
        QCOMPARE(200 - 1 - inner.right(), 1);
        QVERIFY(inner.height() < 40 / 2);
        QVERIFY(qAbs(inner.top() - (40 - 1 - inner.bottom())) <= 1);  // at most a pixel apart
        QCOMPARE(wrapper.getEdit()->geometry(), inner);
    }

    void mouseReachesTheDelegateInsteadOfTheText()
    {
        RecordingDelegate delegate;
        CQvRichEditWrapper wrapper(nullptr, 13);
        wrapper.resize(200, 30);
        wrapper.initDisplay(QvString(u"Sans"), 12, Qt::white);
        wrapper.setText(QvString(u"text/html"));
        wrapper.setDelegate(&delegate, 7);
        wrapper.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wrapper));
        QTest::mouseClick(wrapper.getEdit()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(delegate.calls,
                 (QStringList{QStringLiteral("down 7"), QStringLiteral("up 7"), QStringLiteral("click 7")}));
        QVERIFY(!wrapper.isPressed());
    }
};

QTEST_MAIN(QvRichEditWrapperTest)

#include "QvRichEditWrapperTest.moc"
