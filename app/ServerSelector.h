#pragma once

#include "foundation/QvString.h"

class QWidget;

// The main dialog's "Used Server" selector behind its text-command protocol ("additem",
// "delitem", "select", "cursel", "clear"; fields joined by the back-quote). The dialog talks to
// it only through selectorCommand.
QWidget* createServerSelector(QWidget* parent);
QvString selectorCommand(QWidget* selector, const QvString& command, const QvString& argument);
// After a "select": a selection that names no server (a group heading, or a server that is gone)
// becomes the first server, or none.
void selectorSettle(QWidget* selector);
