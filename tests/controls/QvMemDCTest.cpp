#include <QTest>

#include "controls/QvMemDC.h"

// The off-screen painter: nothing reaches the target before it goes, then exactly its rectangle.
class QvMemDCTest : public QObject {
    Q_OBJECT

private slots:
    void copiesItsRectangleOnDestruction_data()
    {
        QTest::addColumn<qreal>("ratio");
        QTest::newRow("1x") << 1.0;
        QTest::newRow("2x") << 2.0;
    }
    void copiesItsRectangleOnDestruction()
    {
        QFETCH(qreal, ratio);
        QImage target(QSize(40, 30) * ratio, QImage::Format_ARGB32_Premultiplied);
        target.setDevicePixelRatio(ratio);
        target.fill(Qt::white);
        const QRect area(10, 5, 20, 10);
        {
            QPainter painter(&target);
            CQvMemDC dc(painter, area);
            // Drawn in the target's coordinates, and wider than the area: the rest is cut off.
            dc.fillRect(QRect(0, 0, 40, 30), Qt::blue);
            QCOMPARE(target.pixelColor(QPoint(15, 10) * ratio), QColor(Qt::white));
        }
        QCOMPARE(target.pixelColor(QPoint(10, 5) * ratio), QColor(Qt::blue));
        QCOMPARE(target.pixelColor((QPoint(30, 15) * ratio) - QPoint(1, 1)), QColor(Qt::blue));
        QCOMPARE(target.pixelColor(QPoint(9, 5) * ratio), QColor(Qt::white));
        QCOMPARE(target.pixelColor(QPoint(30, 15) * ratio), QColor(Qt::white));
    }
};

QTEST_MAIN(QvMemDCTest)

#include "QvMemDCTest.moc"
