#include "platform/Module.h"

#include <limits.h>
#include <unistd.h>

CString GetModuleFileName()
{
    char buf[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? CString(std::string(buf, static_cast<std::size_t>(n))) : CString();
}

CString GetExecutableFolder()
{
    CString path = GetModuleFileName();
    const int slash = path.ReverseFind('/');
    return slash < 0 ? CString("./") : path.Left(slash + 1);
}
