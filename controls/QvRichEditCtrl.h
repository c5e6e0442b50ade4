#pragma once

#include <QTextEdit>

class CQvRichEditWrapper;

// The read-only text control inside a CQvRichEditWrapper. In display mode it shows no caret and
// an arrow cursor, and, when the wrapper has a delegate, hands presses, releases and double clicks
// to it instead of selecting text.
class CQvRichEditCtrl : public QTextEdit {
    Q_OBJECT

public:
    explicit CQvRichEditCtrl(CQvRichEditWrapper* wrapper);
    ~CQvRichEditCtrl() override;

    void setDisplayMode(bool display);
    bool isDisplayMode() const { return m_displayMode; }

protected:
    void focusInEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    bool m_displayMode = false;
    CQvRichEditWrapper* m_wrapper;
};
