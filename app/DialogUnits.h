#pragma once

#include <QRect>
#include <QSize>
#include <initializer_list>

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

    // One control of a template row. A fitted control (label, button) grows to its text when the
    // desktop's font needs more room than the template's; a stretched one (edit, combo box) keeps
    // its right edge and gives up width on the left when the controls before it grew.
    struct Cell {
        QWidget* widget;
        int x;
        int y;
        int width;
        int height;
        bool stretch = false;
    };
    // Places a row left to right so that no control comes nearer than gapUnits to the one before
    // it; returns the right edge of the row in pixels.
    int placeRow(std::initializer_list<Cell> row, int gapUnits = 2) const;

private:
    int m_baseX;
    int m_baseY;
};
