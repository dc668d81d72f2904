#pragma once
// Line rates of a terminal in baud, any rate (not only the standard codes).
// Kept apart because the kernel's termios definitions clash with the C library's.
#include "platform/Types.h"

// The output rate of the terminal behind fd; on a pty master that is the rate
// the other end (the host) set. 0 when it cannot be read.
DWORD SimGetLineRate(int fd);
// Sets both rates of the terminal behind fd; false on failure.
bool SimSetLineRate(int fd, DWORD rate);
