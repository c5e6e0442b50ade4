#include "app/ServerSelector.h"

#include "controls/QvComplexInput.h"

QWidget* createServerSelector(QWidget* parent)
{
    auto* selector = new QvComplexInput(parent);
    selector->createComboInput();
    return selector;
}

QvString selectorCommand(QWidget* selector, const QvString& command, const QvString& argument)
{
    return static_cast<QvComplexInput*>(selector)->sendCommand(command, argument, 0);
}
