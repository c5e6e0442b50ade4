#include "app/DialogUnits.h"

#include <QFontMetrics>
#include <QWidget>

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
