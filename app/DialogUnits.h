#pragma once

#include <QRect>
#include <QSize>

class QFont;
class QWidget;

// Converts dialog-template units to pixels the way a dialog does: x by the dialog font's average
// character width / 4, y by its height / 8.
class QvDialogUnits {
public:
    explicit QvDialogUnits(const QFont& font);

    int toX(int units) const;
    int toY(int units) const;
    QRect toRect(int x, int y, int width, int height) const;
    QSize toSize(int width, int height) const;
    // Places widget at the template rectangle.
    void place(QWidget* widget, int x, int y, int width, int height) const;

private:
    int m_baseX;
    int m_baseY;
};
