// Rates outside the standard table go through the kernel's termios2 record
// with BOTHER. Its header defines its own struct termios, which collides with
// the C library's, so nothing else of the line lives in this file.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "comms/SerialLine.h"

bool SerialLine::SetCustomRate(int hPort, DWORD nRate)
{
    struct termios2 t{};
    if (::ioctl(hPort, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    t.c_ispeed = nRate;
    t.c_ospeed = nRate;
    return ::ioctl(hPort, TCSETS2, &t) == 0;
}
