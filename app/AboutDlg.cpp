#include "app/AboutDlg.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <algorithm>
#include <utility>

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
    auto* second = new QLabel(QStringLiteral("Small local web servers, one click each."), this);
    second->setObjectName(QStringLiteral("aboutSecondLine"));
    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setObjectName(QStringLiteral("buttonOk"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    // The template's lines grow to their text (the desktop's font may be wider than the template's),
    // and the box with them; OK keeps to the right edge.
    int right = dlu.toX(166);
    for (auto [label, y] : {std::pair{product, 14}, std::pair{second, 26}}) {
        const QRect line = dlu.toRect(42, y, 124, 8);
        label->setGeometry(line.left(), line.top(), std::max(line.width(), label->sizeHint().width()),
                           std::max(line.height(), label->sizeHint().height()));
        right = std::max(right, label->geometry().right() + 1);
    }
    const QRect button = dlu.toRect(113, 41, 50, 14);
    const int width = right + dlu.toX(4);
    ok->setGeometry(width - dlu.toX(7) - button.width(), button.top(), button.width(), button.height());
    setFixedSize(width, dlu.toY(62));
}
