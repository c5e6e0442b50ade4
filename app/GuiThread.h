#pragma once

#include <functional>

class QObject;

// Moves work from pool and timer threads onto the user-interface thread.
namespace QvGuiThread {

// Queues fn to run on context's thread (the user-interface thread for every object of the
// dialogs), after everything queued to context before it. Dropped when context is destroyed first.
// Any thread.
void post(QObject* context, std::function<void()> fn);

}  // namespace QvGuiThread
