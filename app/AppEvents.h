#pragma once

#include <QEvent>

// The program's private posted messages, with the numbers the windows have always used.
inline const QEvent::Type kShowMainDialogEvent = static_cast<QEvent::Type>(0x07ED);  // wParam 1: show / reload

// A posted message with its one argument.
class QvPostedEvent : public QEvent {
public:
    QvPostedEvent(QEvent::Type type, int wParam) : QEvent(type), m_wParam(wParam) {}
    int wParam() const { return m_wParam; }

private:
    int m_wParam;
};
