// Draws the program's own images: the application icon at the sizes desktops ask for and the
// donate button's picture at 1x and 2x. Run by hand; the results live in res/.
//   qv_draw_art <res folder>
#include <QDir>
#include <QFileInfo>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

namespace {

// A rounded tile with a small server rack and a green "running" light; drawn on a 64-unit grid.
QImage drawIcon(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, QColor(52, 120, 198));
    tile.setColorAt(1, QColor(30, 78, 140));
    p.setPen(QPen(QColor(22, 58, 105), 1.5));
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(3, 3, 58, 58), 12, 12);

    // Two rack units.
    for (int unit = 0; unit < 2; ++unit) {
        const QRectF slot(13, 14 + unit * 19, 38, 14);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(240, 244, 250));
        p.drawRoundedRect(slot, 3, 3);
        p.setBrush(QColor(150, 168, 190));
        for (int bar = 0; bar < 3; ++bar) {
            p.drawRoundedRect(QRectF(slot.left() + 5 + bar * 6, slot.top() + 4, 3, 6), 1, 1);
        }
        p.setBrush(unit == 0 ? QColor(46, 204, 113) : QColor(150, 168, 190));
        p.drawEllipse(QPointF(slot.right() - 7, slot.center().y()), 3, 3);
    }
    // The network line below the rack.
    p.setPen(QPen(QColor(240, 244, 250), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(32, 47), QPointF(32, 53));
    p.drawLine(QPointF(20, 53), QPointF(44, 53));
    return image;
}

// A coffee cup with steam and the words "Buy me a coffee", width x height logical pixels.
QImage drawDonate(int width, int height, qreal scale)
{
    QImage image(qRound(width * scale), qRound(height * scale), QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    const QRectF card(0.5, 0.5, width - 1, height - 1);
    QLinearGradient fill(0, 0, 0, height);
    fill.setColorAt(0, QColor(255, 221, 87));
    fill.setColorAt(1, QColor(247, 196, 45));
    p.setPen(QPen(QColor(196, 146, 20), 1));
    p.setBrush(fill);
    p.drawRoundedRect(card, height / 5.0, height / 5.0);

    // The cup, scaled to the card's height.
    const qreal u = height / 40.0;
    p.save();
    p.translate(8 * u, 6 * u);
    p.setPen(QPen(QColor(90, 52, 24), 2 * u, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(QColor(255, 255, 255));
    QPainterPath cup;
    cup.moveTo(0, 10 * u);
    cup.lineTo(20 * u, 10 * u);
    cup.lineTo(18 * u, 26 * u);
    cup.quadTo(17 * u, 29 * u, 14 * u, 29 * u);
    cup.lineTo(6 * u, 29 * u);
    cup.quadTo(3 * u, 29 * u, 2 * u, 26 * u);
    cup.closeSubpath();
    p.drawPath(cup);
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(16 * u, 13 * u, 9 * u, 9 * u), -90 * 16, 180 * 16);
    p.setPen(QPen(QColor(122, 74, 38), 1.6 * u, Qt::SolidLine, Qt::RoundCap));
    for (int wisp = 0; wisp < 3; ++wisp) {
        QPainterPath steam;
        const qreal x = (5 + wisp * 5) * u;
        steam.moveTo(x, 7 * u);
        steam.cubicTo(x - 2 * u, 4 * u, x + 2 * u, 3 * u, x, 0);
        p.drawPath(steam);
    }
    p.restore();

    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    const QRectF textArea(40 * u, 0, width - 40 * u - 6 * u, height);
    const QString words = QStringLiteral("Buy me a coffee");
    // The largest size up to a third of the height that fits the width.
    for (int pixels = qRound(height * 0.34); pixels > 6; --pixels) {
        font.setPixelSize(pixels);
        if (QFontMetricsF(font).horizontalAdvance(words) <= textArea.width()) {
            break;
        }
    }
    p.setFont(font);
    p.setPen(QColor(60, 36, 12));
    p.drawText(textArea, Qt::AlignVCenter | Qt::AlignLeft, words);
    return image;
}

bool save(const QImage& image, const QString& path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!image.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: qv_draw_art <res folder>\n");
        return 2;
    }
    const QString res = QString::fromLocal8Bit(argv[1]);
    bool ok = true;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        ok &= save(drawIcon(size), QStringLiteral("%1/icons/hicolor/%2x%2/apps/qvwebserver.png").arg(res).arg(size));
    }
    // The donate button is 98 x 33 dialog units; its picture leaves a small margin inside.
    ok &= save(drawDonate(168, 52, 1.0), res + QStringLiteral("/img/DonateCoffee_Orvan.png"));
    ok &= save(drawDonate(168, 52, 2.0), res + QStringLiteral("/img/DonateCoffee_Orvan@2x.png"));
    return ok ? 0 : 1;
}
