#pragma once

#include <cstddef>

// Whole-buffer writes to a file descriptor.
namespace platform
{
    // Writes all `size` bytes, again after an interrupted write. False on an error or a write
    // that takes nothing. Safe in a signal handler (write() and errno only).
    bool writeAll(int fd, const void *data, size_t size);
}
