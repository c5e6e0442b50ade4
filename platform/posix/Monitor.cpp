#include "platform/Monitor.h"

#include <mutex>

namespace qvplat {
namespace {

std::mutex s_mutex;
WorkAreaProvider s_provider;

WorkAreaProvider currentProvider()
{
    std::lock_guard lock(s_mutex);
    return s_provider;
}

}  // namespace

void setWorkAreaProvider(WorkAreaProvider provider)
{
    std::lock_guard lock(s_mutex);
    s_provider = std::move(provider);
}

int monitorCount()
{
    std::lock_guard lock(s_mutex);
    return s_provider ? 1 : 0;
}

bool workAreaNearest(int x, int y, Rect& out)
{
    // Called without the lock so that a provider may itself use this header.
    const WorkAreaProvider provider = currentProvider();
    return provider ? provider(x, y, out) : false;
}

}  // namespace qvplat
