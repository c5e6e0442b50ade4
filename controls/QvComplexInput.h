#pragma once

#include <QWidget>
#include <memory>

#include "controls/IQvComplexInput.h"

class QvCIComboBox;

// The host widget of one pluggable input: it forwards paint, hover, leave, focus loss and the left
// button to the input as the "focus" and "mouselbtn" commands, and does nothing while it has no
// input. Space, Return, F4 and Alt+Down act as a click, so the selector opens from the keyboard.
// Owns the input. User-interface thread only.
class QvComplexInput : public QWidget {
    Q_OBJECT

public:
    explicit QvComplexInput(QWidget* parent = nullptr);
    ~QvComplexInput() override;

    // Replaces the present input by a new grouped combo box laid out in the client rectangle and
    // returns it (owned by the host).
    QvCIComboBox* createComboInput();
    IQvComplexInput* getInput() const { return m_input.get(); }
    // The input's command protocol; "" while there is no input.
    QvString sendCommand(const QvString& command, const QvString& argument, int flags = 0);

    // Called by the input when the user changed its value (not when a command did).
    void notifyInputChanged();

    QSize sizeHint() const override;

signals:
    // The user picked a value in the input (a popup choice); read it with sendCommand.
    void inputChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void sendToInput(const char16_t* command, const char16_t* argument);
    void dropInput();

    std::unique_ptr<IQvComplexInput> m_input;
    bool m_mouseTracked = false;
};
