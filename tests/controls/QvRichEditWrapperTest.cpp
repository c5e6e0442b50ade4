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
    void layoutInsets_data()
    {
        QTest::addColumn<int>("frameMode");
        QTest::addColumn<int>("leftInset");  // the 3-pixel frame on the side plus the 1-pixel margin
        QTest::newRow("no frame") << int(CQvRichEditWrapper::kFrameNone) << 1;
        QTest::newRow("all four sides") << int(CQvRichEditWrapper::kFrameAll) << 4;
        QTest::newRow("top and bottom only") << int(CQvRichEditWrapper::kFrameTopBottom) << 1;
    }
    void layoutInsets()
    {
        QFETCH(int, frameMode);
        QFETCH(int, leftInset);
        CQvRichEditWrapper wrapper;
        wrapper.resize(200, 40);
        wrapper.initDisplay(QvString(u"Sans"), 12, Qt::white);
        wrapper.setFrameMode(frameMode, Qt::gray, 3);
        const QRect inner = wrapper.getInnerRect();
        QCOMPARE(inner.left(), leftInset);
        QCOMPARE(200 - 1 - inner.right(), leftInset);
        // One line, centred: the space above and below differs by at most a pixel.
        QVERIFY(inner.height() < 40 / 2);
        QVERIFY(qAbs(inner.top() - (40 - 1 - inner.bottom())) <= 1);
        QCOMPARE(wrapper.getEdit()->geometry(), inner);
    }

    void mouseReachesTheDelegateInsteadOfTheText_data()
    {
        QTest::addColumn<bool>("withDelegate");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("with a delegate") << true
                                         << QStringList{QStringLiteral("down 7"), QStringLiteral("up 7"),
                                                        QStringLiteral("click 7")};
        QTest::newRow("without one") << false << QStringList();
    }
    void mouseReachesTheDelegateInsteadOfTheText()
    {
        QFETCH(bool, withDelegate);
        QFETCH(QStringList, calls);
        RecordingDelegate delegate;
        CQvRichEditWrapper wrapper(nullptr, 13);
        wrapper.resize(200, 30);
        wrapper.initDisplay(QvString(u"Sans"), 12, Qt::white);
        wrapper.setText(QvString(u"text/html"));
        if (withDelegate) {
            wrapper.setDelegate(&delegate, 7);
        }
        wrapper.show();
        QVERIFY(QTest::qWaitForWindowExposed(&wrapper));
        QTest::mouseClick(wrapper.getEdit()->viewport(), Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(delegate.calls, calls);
        QVERIFY(!wrapper.isPressed());
    }
};

QTEST_MAIN(QvRichEditWrapperTest)

#include "QvRichEditWrapperTest.moc"
