#pragma once
#include <cstddef>

// Writes all `size` bytes to `fd`, going on after short writes and after a
// signal interrupted write(2). It calls nothing but write(2), so a signal
// handler may use it. False on an error, or when write(2) takes no byte.
bool writeAllToFd(int fd, const char *data, size_t size);
