#pragma once

#include <functional>

namespace qvplat {

struct Rect {
    int left;
    int top;
    int right;
    int bottom;
};

// Fills workArea with the available geometry of the screen nearest to (x, y); false when there is
// no screen. Installed by the user interface; the core has no screen of its own.
using WorkAreaProvider = std::function<bool(int x, int y, Rect& workArea)>;

// Installs (or, with an empty function, removes) the provider. Thread-safe.
void setWorkAreaProvider(WorkAreaProvider provider);

// 1 while a provider is installed, 0 otherwise (the core knows no screens itself).
int monitorCount();

// The work area of the screen nearest to (x, y); false without a provider or when it reports none.
bool workAreaNearest(int x, int y, Rect& out);

}  // namespace qvplat
