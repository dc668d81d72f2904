// zflash command-line tool. This first cut knows the library's identity only:
// `zflash version` and `zflash messages`.
#include <cstdio>
#include <cstring>

#include <zflash/zflash.h>

namespace {
int PrintVersion()
{
    const CNorvaneLibVersion* v = GetVersionNorvane();
    std::printf("%s %u.%u (build %u)\n", v->m_strDescription.GetString(), v->m_nMajor, v->m_nMinor,
                static_cast<unsigned>(v->m_nBuild));
    std::printf("Built:    %s\n", v->m_strBuildDate.GetString());
    std::printf("Notice:   %s\n", v->m_strLegal.GetString());
    std::printf("Channels:");
    for (int i = 0; i < v->GetSupportedCommsCount(); ++i)
        std::printf(" %s", v->GetCommsName(i).GetString());
    std::printf("\nLocale:   %s\n", IsAJapanInstall() ? "Japan" : "default");
    std::printf("Settings: %s\n", CRegister::GetStorePath().GetString());
    return 0;
}

int PrintMessages()
{
    for (const SCatalogueEntry& e : GetMessageCatalogue())
        std::printf("%5u  %s\n", static_cast<unsigned>(e.nID), e.pszText);
    return 0;
}

void Usage(FILE* out)
{
    std::fprintf(out, "usage: zflash COMMAND\n\n"
                      "commands:\n"
                      "  version    show the library's version record\n"
                      "  messages   list the message catalogue\n");
}
} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "version") == 0)
        return PrintVersion();
    if (argc == 2 && std::strcmp(argv[1], "messages") == 0)
        return PrintMessages();
    if (argc == 2 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        Usage(stdout);
        return 0;
    }
    Usage(stderr);
    return 2;
}
