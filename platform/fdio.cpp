#include "fdio.h"

#include <cerrno>

#include <unistd.h>

namespace platform
{
    bool writeAll(int fd, const void *data, size_t size)
    {
        const char *p = static_cast<const char *>(data);
        while (size > 0)
        {
            const ssize_t w = ::write(fd, p, size);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return false;
            p += w;
            size -= static_cast<size_t>(w);
        }
        return true;
    }
}
