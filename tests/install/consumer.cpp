#include <cstdio>
#include <zflash/zflash.h>

int main()
{
    const CNorvaneLibVersion* v = GetVersionNorvane();
    CString s;
    s.LoadString(15056);
    std::printf("%s %u.%u: %s\n", v->m_strDescription.GetString(), v->m_nMajor, v->m_nMinor, s.GetString());
    return v->m_nBuild == 197 && s == "Connection complete" ? 0 : 1;
}
