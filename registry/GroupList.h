#pragma once

#include "foundation/QvStringArray.h"

// The group list in env.ini ("GROUPLIST"): "CNT" groups under the keys "0001", "0002", ... in the
// order they were first seen. Groups are only ever added; "None" (no group) never is.
class CQvGroupList {
public:
    // The stored group names in counter order.
    static QvStringArray names();
    // Adds the groups not yet listed, in the given order, in one transaction on env.ini under its
    // lock. False when env.ini could not be read or stored.
    static bool add(const QvStringArray& groups);
};
