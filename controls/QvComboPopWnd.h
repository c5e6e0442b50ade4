#pragma once

#include <QRect>
#include <QWidget>
#include <string>

class CQvComboPopupContent;
class IQvComboPopupWndDelegate;
class QScrollArea;
class QScrollBar;

// The drop-down window of the grouped combo box: a frameless popup below the host holding the
// scrolling list (CQvComboPopupContent). It closes when it loses the focus (a click elsewhere, Esc,
// another window) or when an entry is clicked, and on every close reports the popup's selection to
// its delegate as {"selgrp", "selidx"}. Created by the combo box on first opening and kept hidden
// between openings. User-interface thread only.
class CQvComboPopWnd : public QWidget {
    Q_OBJECT

public:
    static constexpr int kMaxVisibleRows = 15;  // longer lists scroll

    // owner: the host widget the popup drops from; delegate: receives the reports (not owned).
    CQvComboPopWnd(QWidget* owner, IQvComboPopupWndDelegate* delegate);
    ~CQvComboPopWnd() override;

    // Hides the popup; with show, fills the list from the documents (UTF-8 JSON: the list array
    // and {"selgrp", "selidx"}) and shows it below rcHost (global coordinates), or above it when
    // the screen has no room below.
    void showPopup(bool show, const QRect& rcHost, const std::string& listJson, const std::string& selJson);

    CQvComboPopupContent* getContent() const { return m_content; }
    QScrollBar* getVerticalScrollBar() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void reportSelection();

    QWidget* m_owner;
    IQvComboPopupWndDelegate* m_delegate;
    QScrollArea* m_scrollArea;
    CQvComboPopupContent* m_content;
    // Set while shown for the user, so that exactly one report follows each showing.
    bool m_reportOnHide = false;
    int m_vertSBPos = 0;  // the scroll position last traced
};
