#include "app/ServerSelector.h"

#include "controls/QvCIComboBox.h"
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

void selectorSettle(QWidget* selector)
{
    if (auto* combo = dynamic_cast<QvCIComboBox*>(static_cast<QvComplexInput*>(selector)->getInput())) {
        combo->ensureEntrySelected();
    }
}
