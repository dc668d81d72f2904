#include "HostRoute.h"

namespace {
thread_local CHostUI* t_pHost = nullptr;
}

CHostUI* CHostRoute::Current()
{
    return t_pHost;
}

void CHostRoute::SetCurrent(CHostUI* pHost)
{
    t_pHost = pHost;
}
