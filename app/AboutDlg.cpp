#include "app/AboutDlg.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

#include "app/DialogUnits.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("AboutDlg"));
    setWindowTitle(QStringLiteral("About QvWebServer"));
    const QvDialogUnits dlu(font());

    auto* icon = new QLabel(this);
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(QApplication::windowIcon().pixmap(dlu.toSize(20, 20)));
    dlu.place(icon, 14, 14, 21, 20);
    auto* product = new QLabel(QStringLiteral("QvWebServer, Version 1.0"), this);
    product->setObjectName(QStringLiteral("aboutProduct"));
    dlu.place(product, 42, 14, 124, 8);
    auto* second = new QLabel(QStringLiteral("Small local web servers, one click each."), this);
    second->setObjectName(QStringLiteral("aboutSecondLine"));
    dlu.place(second, 42, 26, 124, 8);
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("buttonOk"));
    ok->setDefault(true);
    dlu.place(ok, 113, 41, 50, 14);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(dlu.toSize(170, 62));
}
