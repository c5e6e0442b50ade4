#include "platform/Limits.h"

#include <malloc.h>
#include <sys/resource.h>

#include <cerrno>

namespace qvplat {
namespace {

long long limitValue(rlim_t value)
{
    return value == RLIM_INFINITY ? -1 : static_cast<long long>(value);
}

}  // namespace

DescriptorLimits descriptorLimits()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return {};
    }
    return {limitValue(limit.rlim_cur), limitValue(limit.rlim_max)};
}

DescriptorLimits raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return {};
    }
    const DescriptorLimits before{limitValue(limit.rlim_cur), limitValue(limit.rlim_max)};
    if (limit.rlim_cur != limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        // Refused only where the hard limit exceeds what the kernel allows (nr_open); the soft
        // limit then stays as it was.
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return before;
}

bool isOutOfDescriptors(int error)
{
    return error == EMFILE || error == ENFILE;
}

bool shareAllocatorUnderAddressLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return false;
    }
    ::mallopt(M_ARENA_MAX, 1);
    return true;
}

}  // namespace qvplat
