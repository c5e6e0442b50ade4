#include "app/MessageBoxes.h"

#include <QMessageBox>

namespace {

QvMessageBoxes::Handler& handler()
{
    static QvMessageBoxes::Handler s_handler;
    return s_handler;
}

}  // namespace

int QvMessageBoxes::show(QWidget* parent, const QString& text, Buttons buttons, Icon icon)
{
    if (handler()) {
        return handler()(parent, text, buttons, icon);
    }
    QMessageBox box(parent);
    box.setObjectName(QStringLiteral("messageBox"));
    box.setWindowTitle(QStringLiteral("QvWebServer"));
    box.setText(text);
    switch (icon) {
        case Information:
            box.setIcon(QMessageBox::Information);
            break;
        case Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case Critical:
            box.setIcon(QMessageBox::Critical);
            break;
        case Question:
            box.setIcon(QMessageBox::Question);
            break;
        case NoIcon:
            break;
    }
    switch (buttons) {
        case Ok:
            box.setStandardButtons(QMessageBox::Ok);
            break;
        case YesNo:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            break;
        case YesNoCancel:
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
            break;
    }
    switch (box.exec()) {
        case QMessageBox::Yes:
            return IdYes;
        case QMessageBox::No:
            return IdNo;
        case QMessageBox::Ok:
            return IdOk;
        default:
            return buttons == YesNo ? IdNo : IdCancel;  // Escape or the close box
    }
}

void QvMessageBoxes::setHandler(Handler newHandler)
{
    handler() = std::move(newHandler);
}
