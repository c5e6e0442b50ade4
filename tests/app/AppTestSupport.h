#pragma once

// What the desktop program's tests share: the "executable" in a temporary folder with fresh
// singletons, message boxes answered by the test, and steps run inside the next modal loop.
#include <QApplication>
#include <QTimer>
#include <QtTest>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ExeFolder.h"
#include "ScopedEnv.h"
#include "app/MessageBoxes.h"

inline QString q(const char* text)
{
    return QString::fromUtf8(text);
}

struct Sandbox : ExeFolder {
    Sandbox() : ExeFolder("qvapp") {}
    std::string user(const std::string& name) const { return TempDir::read(dir.path() / "user" / name); }
};

// Records every message box and answers from the queue; when it runs dry an OK box gets OK and a
// question gets `otherwise`.
struct Boxes {
    QStringList texts;
    std::deque<int> answers;
    int otherwise = QvMessageBoxes::IdNo;
    int lastButtons = -1;
    int lastIcon = -1;
    Boxes()
    {
        QvMessageBoxes::setHandler(
            [this](QWidget*, const QString& text, QvMessageBoxes::Buttons buttons, QvMessageBoxes::Icon icon) {
                texts << text;
                lastButtons = buttons;
                lastIcon = icon;
                int answer = buttons == QvMessageBoxes::Ok ? int(QvMessageBoxes::IdOk) : otherwise;
                if (!answers.empty()) {
                    answer = answers.front();
                    answers.pop_front();
                }
                return answer;
            });
    }
    ~Boxes() { QvMessageBoxes::setHandler({}); }
};

template <class T>
T* child(QObject* parent, const char* name)
{
    T* found = parent->findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) {
        qFatal("no child %s", name);
    }
    return found;
}

// Runs steps once the modal loop of the next dialog is running; a failed check closes the
// dialogs still open, so the test ends instead of waiting for a person.
inline void whenModal(std::function<void()> steps)
{
    QTimer::singleShot(0, qApp, [steps = std::move(steps)] {
        steps();
        if (QTest::currentTestFailed()) {
            while (QWidget* modal = QApplication::activeModalWidget()) {
                modal->close();
            }
        }
    });
}
