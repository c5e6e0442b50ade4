#include "app/DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>
#include <algorithm>

QvDialogUnits::QvDialogUnits(const QFont& font)
{
    const QFontMetrics metrics(font);
    // The average width over the 52 Latin letters, as dialogs measure their font.
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    m_baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    m_baseY = metrics.height();
}

int QvDialogUnits::toX(int units) const
{
    return (units * m_baseX + 2) / 4;
}

int QvDialogUnits::toY(int units) const
{
    return (units * m_baseY + 4) / 8;
}

QRect QvDialogUnits::toRect(int x, int y, int width, int height) const
{
    const int left = toX(x);
    const int top = toY(y);
    return QRect(left, top, toX(x + width) - left, toY(y + height) - top);
}

QSize QvDialogUnits::toSize(int width, int height) const
{
    return QSize(toX(width), toY(height));
}

void QvDialogUnits::place(QWidget* widget, int x, int y, int width, int height) const
{
    widget->setGeometry(toRect(x, y, width, height));
}

int QvDialogUnits::placeRow(std::initializer_list<Cell> row, int gapUnits) const
{
    constexpr int kMinStretchWidth = 40;  // pixels an edit keeps however much its row grew
    const int gap = toX(gapUnits);
    int cursor = 0;
    for (const Cell& cell : row) {
        const QRect rect = toRect(cell.x, cell.y, cell.width, cell.height);
        const int left = std::max(rect.left(), cursor);
        int width = rect.width();
        if (cell.stretch) {
            width = std::max(rect.right() + 1 - left, kMinStretchWidth);
        } else {
            width = std::max(width, cell.widget->sizeHint().width());
        }
        cell.widget->setGeometry(left, rect.top(), width, rect.height());
        cursor = left + width + gap;
    }
    return cursor - gap;
}
