#include "controls/QvComplexInput.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

#include "controls/QvCIComboBox.h"
#include "controls/QvMemDC.h"

QvComplexInput::QvComplexInput(QWidget* parent) : QWidget(parent)
{
    // Hover must reach the input without a pressed button.
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QvComplexInput::~QvComplexInput()
{
    dropInput();
}

void QvComplexInput::dropInput()
{
    if (m_input) {
        m_input->release();
        m_input.reset();
    }
}

QvCIComboBox* QvComplexInput::createComboInput()
{
    dropInput();
    auto combo = std::make_unique<QvCIComboBox>();
    QvCIComboBox* result = combo.get();
    m_input = std::move(combo);
    m_input->create(this, rect());
    update();
    return result;
}

QvString QvComplexInput::sendCommand(const QvString& command, const QvString& argument, int flags)
{
    if (!m_input) {
        return QvString(u"");
    }
    return m_input->sendCommand(command, argument, flags);
}

void QvComplexInput::notifyInputChanged()
{
    emit inputChanged();
}

QSize QvComplexInput::sizeHint() const
{
    // One line of the bold dialog font with room above and below.
    return QSize(200, 24);
}

void QvComplexInput::sendToInput(const char16_t* command, const char16_t* argument)
{
    m_input->sendCommand(QvString(command), QvString(argument), 0);
}

void QvComplexInput::paintEvent(QPaintEvent* event)
{
    if (!m_input) {
        QWidget::paintEvent(event);
        return;
    }
    QPainter painter(this);
    CQvMemDC dc(painter, rect());
    m_input->draw(dc, rect());
}

void QvComplexInput::mouseMoveEvent(QMouseEvent* event)
{
    if (m_input) {
        m_mouseTracked = true;
        sendToInput(u"focus", u"true");
        update();
    }
    QWidget::mouseMoveEvent(event);
}

void QvComplexInput::leaveEvent(QEvent* event)
{
    if (m_input) {
        sendToInput(u"focus", u"false");
        update();
        m_mouseTracked = false;
    }
    QWidget::leaveEvent(event);
}

void QvComplexInput::focusOutEvent(QFocusEvent* event)
{
    if (m_input) {
        sendToInput(u"focus", u"false");
        update();
    }
    QWidget::focusOutEvent(event);
}

void QvComplexInput::mousePressEvent(QMouseEvent* event)
{
    if (m_input && event->button() == Qt::LeftButton) {
        sendToInput(u"mouselbtn", u"down");
        update();
    }
    QWidget::mousePressEvent(event);
}

void QvComplexInput::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_input && event->button() == Qt::LeftButton) {
        sendToInput(u"mouselbtn", u"up");
        update();
    }
    QWidget::mouseReleaseEvent(event);
}

void QvComplexInput::resizeEvent(QResizeEvent* event)
{
    // The input keeps its layout in step with the host, as it was laid out at creation.
    if (m_input) {
        m_input->create(this, rect());
    }
    QWidget::resizeEvent(event);
}

void QvComplexInput::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    const bool opens = key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_F4 ||
                       (key == Qt::Key_Down && (event->modifiers() & Qt::AltModifier));
    if (!m_input || !opens) {
        QWidget::keyPressEvent(event);
        return;
    }
    sendToInput(u"mouselbtn", u"down");
    sendToInput(u"mouselbtn", u"up");
    update();
}
