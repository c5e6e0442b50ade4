#include "app/GuiThread.h"

#include <QMetaObject>
#include <QObject>

namespace QvGuiThread {

void post(QObject* context, std::function<void()> fn)
{
    QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
}

}  // namespace QvGuiThread
