#include "controls/QvRichEditCtrl.h"

#include <QMouseEvent>

#include "controls/IQvRichEditDelegate.h"
#include "controls/QvRichEditWrapper.h"

CQvRichEditCtrl::CQvRichEditCtrl(CQvRichEditWrapper* wrapper) : QTextEdit(wrapper), m_wrapper(wrapper)
{
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    document()->setDocumentMargin(0);
}

CQvRichEditCtrl::~CQvRichEditCtrl() = default;

void CQvRichEditCtrl::setDisplayMode(bool display)
{
    m_displayMode = display;
    viewport()->setCursor(display ? Qt::ArrowCursor : Qt::IBeamCursor);
    setCursorWidth(display ? 0 : 1);
}

void CQvRichEditCtrl::focusInEvent(QFocusEvent* event)
{
    // A display shows no caret, even when it takes the focus.
    if (m_displayMode) {
        setCursorWidth(0);
    }
    QTextEdit::focusInEvent(event);
}

void CQvRichEditCtrl::mousePressEvent(QMouseEvent* event)
{
    IQvRichEditDelegate* delegate = m_wrapper->getDelegate();
    if (!m_displayMode || delegate == nullptr || event->button() != Qt::LeftButton) {
        QTextEdit::mousePressEvent(event);
        return;
    }
    m_wrapper->setPressed(true);
    delegate->onRichEditLButtonDown(m_wrapper->getReportId());
}

void CQvRichEditCtrl::mouseReleaseEvent(QMouseEvent* event)
{
    IQvRichEditDelegate* delegate = m_wrapper->getDelegate();
    if (!m_displayMode || delegate == nullptr || event->button() != Qt::LeftButton) {
        QTextEdit::mouseReleaseEvent(event);
        return;
    }
    if (m_wrapper->isPressed()) {
        m_wrapper->setPressed(false);
        delegate->onRichEditLButtonUp(m_wrapper->getReportId());
        delegate->onRichEditClick(m_wrapper->getReportId());
    }
}

void CQvRichEditCtrl::mouseDoubleClickEvent(QMouseEvent* event)
{
    IQvRichEditDelegate* delegate = m_wrapper->getDelegate();
    if (!m_displayMode || delegate == nullptr || event->button() != Qt::LeftButton) {
        QTextEdit::mouseDoubleClickEvent(event);
        return;
    }
    delegate->onRichEditDblClick(m_wrapper->getReportId());
}
