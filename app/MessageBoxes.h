#pragma once

#include <QString>
#include <functional>

class QWidget;

// The one way the desktop program asks the user something: every message box passes here with
// its text, buttons and icon, so that tests can answer it instead of a person. User-interface
// thread only.
class QvMessageBoxes {
public:
    enum Buttons { Ok, YesNo, YesNoCancel };
    enum Icon { NoIcon, Information, Warning, Critical, Question };
    // The answers, with the numbers the dialogs' callers compare against.
    enum Answer { IdOk = 1, IdCancel = 2, IdYes = 6, IdNo = 7 };

    using Handler = std::function<int(QWidget* parent, const QString& text, Buttons buttons, Icon icon)>;

    // Shows a modal box (or asks the installed handler) and returns the answer.
    static int show(QWidget* parent, const QString& text, Buttons buttons = Ok, Icon icon = NoIcon);
    // Replaces the real boxes; an empty handler restores them.
    static void setHandler(Handler handler);
};
