#pragma once

#include <QEvent>
#include <functional>

class QObject;

// Moves work from pool and timer threads onto the user-interface thread. The work travels inside a
// posted event that the poster never touches again, so nothing is shared between the threads
// beyond Qt's own event queue.
namespace QvGuiThread {

// Queues fn to run on receiver's thread, after everything posted to receiver before it; dropped
// when receiver is destroyed first. receiver's customEvent must hand its events to run(). Any thread.
void post(QObject* receiver, std::function<void()> fn);

// Runs the work of an event made by post; false for any other event.
bool run(QEvent* event);

}  // namespace QvGuiThread
