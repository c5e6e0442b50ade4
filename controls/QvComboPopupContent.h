#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "foundation/QvString.h"

class CQvComboPopWnd;

// The list inside the combo box's popup: group headings with their entries below, one 22-pixel
// row each, hover highlighting, and a click on an entry that makes it the popup's selection and
// closes the popup. Scrolled by the popup's scroll area. User-interface thread only.
class CQvComboPopupContent : public QWidget {
    Q_OBJECT

public:
    static constexpr int kRowHeight = 22;

    explicit CQvComboPopupContent(CQvComboPopWnd* popup);
    ~CQvComboPopupContent() override;

    // Fills the rows from the list array (headings with "list" arrays of entries, or bare entries)
    // and takes the selection {"selgrp", "selidx"}. A document that does not parse gives no rows
    // (list) or no selection (selection) and false.
    bool fillList(const std::string& listJson, const std::string& selJson);

    int getRowCount() const { return static_cast<int>(m_rows.size()); }
    // The row under the mouse; -1 for none.
    int getHotRow() const { return m_hotRow; }
    // The popup's selection: group ("" for a flat list) and index within it (-1 for none).
    QvString getSelectedGroup() const { return m_selGroup; }
    int getSelectedIndex() const { return m_selIndex; }
    // The row of the popup's selection; -1 when it names no row.
    int getSelectedRow() const;
    // A row's rectangle in this widget; an invalid rectangle for a row that does not exist.
    QRect getRowRect(int row) const;
    bool isHeadingRow(int row) const;

    // Keyboard: moves the hot row to the next entry up (step < 0) or down, skipping headings, and
    // returns it (-1 when there is none); chooseHotRow acts like a click on the hot entry.
    int moveHotRow(int step);
    bool chooseHotRow();

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    struct Row {
        int type = 0;  // 0 entry, 1 heading
        QvString disp;
        QvString value;
        QvString group;         // the entry's group; empty in a flat list and for headings
        int indexInGroup = -1;  // the entry's position within its group
        bool selected = false;
    };

    int rowAt(const QPoint& point) const;
    void setHotRow(int row);
    // Makes an entry row the popup's selection and closes the popup; false for a heading.
    bool chooseRow(int row);

    CQvComboPopWnd* m_popup;
    std::vector<Row> m_rows;
    int m_hotRow = -1;
    int m_pressedRow = -1;
    QvString m_selGroup;
    int m_selIndex = -1;
};
