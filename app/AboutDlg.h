#pragma once

#include <QDialog>

// The about box: the icon, the product line, a second line and OK.
class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
