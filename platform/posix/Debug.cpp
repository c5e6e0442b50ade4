#include "platform/Debug.h"

#include <unistd.h>

#include <cerrno>

#include "platform/posix/Utf8.h"

namespace qvplat {

void outputDebugString(const std::u16string& text)
{
    std::string line = detail::toUtf8(text);
    if (line.empty() || line.back() != '\n') {
        line += '\n';
    }
    // One write per line keeps lines of concurrent callers whole.
    const char* p = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(STDERR_FILENO, p, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace qvplat
