#include "app/GuiThread.h"

#include <QCoreApplication>
#include <QObject>

namespace {

QEvent::Type workEventType()
{
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

class WorkEvent : public QEvent {
public:
    explicit WorkEvent(std::function<void()> fn) : QEvent(workEventType()), m_fn(std::move(fn)) {}
    void run() { m_fn(); }

private:
    std::function<void()> m_fn;
};

}  // namespace

namespace QvGuiThread {

void post(QObject* receiver, std::function<void()> fn)
{
    QCoreApplication::postEvent(receiver, new WorkEvent(std::move(fn)));
}

bool run(QEvent* event)
{
    if (event->type() != workEventType()) {
        return false;
    }
    static_cast<WorkEvent*>(event)->run();
    return true;
}

}  // namespace QvGuiThread
