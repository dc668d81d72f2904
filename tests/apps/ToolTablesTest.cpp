// The tool's tables (exit codes, connection types, the library messages it
// reads) against the documents that list them and the runs that use them.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <tuple>

#include "ConsoleHost.h"
#include "ExitCode.h"
#include "LibraryMessages.h"
#include "Options.h"
#include "TestSupport.h"

namespace {
// The lines of a document from the first that starts with `from` up to the next that starts with `to`.
std::vector<std::string> Section(const std::string& path, const std::string& from, const std::string& to)
{
    std::istringstream in(zftest::ReadAll(zftest::SourcePath(path)));
    std::vector<std::string> lines;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (inside && line.starts_with(to))
            break;
        if (inside)
            lines.push_back(line);
        inside |= line.starts_with(from);
    }
    return lines;
}

// The man page's text without its font changes and escaped hyphens.
std::string Roff(std::string text)
{
    text = std::regex_replace(text, std::regex(R"(\\f[BIR])"), "");
    return std::regex_replace(text, std::regex(R"(\\-)"), "-");
}

std::vector<std::string> Matches(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> found;
    const std::regex re(pattern);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator(); ++it)
        found.push_back((*it)[1]);
    return found;
}

CConsole& Quiet()
{
    static FILE* sink = std::tmpfile();
    static CConsole console(sink, sink, omPlain, vbNormal, false);
    return console;
}

std::vector<std::string> TableConnectionNames()
{
    std::vector<std::string> names;
    for (const SConnectionName& c : ConnectionTypes())
        names.emplace_back(c.pszName);
    return names;
}
} // namespace

TEST(ToolTables, TheUserGuideAndTheManPageListTheExitCodesOfTheTable)
{
    std::vector<std::string> table, guide, man;
    for (const SExitCodeInfo& e : ExitCodes()) {
        table.push_back(std::to_string(e.nCode) + " " + e.pszName);
        man.push_back(std::to_string(e.nCode) + " " + e.pszText);
        EXPECT_NE(ExitCodesHelp().find(man.back()), std::string::npos) << man.back();
    }
    const std::regex row(R"(^\| (\d+) \| ([a-z-]+) \|.*)");
    for (const std::string& line : Section("docs/user-guide.md", "## Exit codes", "## ")) {
        std::smatch m;
        if (std::regex_match(line, m, row))
            guide.push_back(m[1].str() + " " + m[2].str());
    }
    EXPECT_EQ(guide, table);

    std::vector<std::string> manRows;
    for (const std::string& line : Section("docs/zflash.1", ".SH EXIT STATUS", ".TE"))
        if (const size_t tab = line.find('\t'); tab != std::string::npos)
            manRows.push_back(line.substr(0, tab) + " " + Roff(line.substr(tab + 1)));
    EXPECT_EQ(manRows, man);
}

TEST(ToolTables, TheUserGuideAndTheManPageListTheConnectionTypesOfTheTable)
{
    std::istringstream in(zftest::ReadAll(zftest::SourcePath("docs/user-guide.md")));
    std::string guide;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with("| `-c`"))
            guide = line.substr(line.find("| `boot` |") + 10); // after the default column
    EXPECT_EQ(Matches(guide, "`([a-z-]+)`"), TableConnectionNames()) << guide;

    std::string man;
    for (const std::string& line : Section("docs/zflash.1", ".BR \\-c", ".TP"))
        man += Roff(std::regex_replace(line, std::regex(R"(\\fB([a-z\\-]+)\\fR)"), "<$1>"));
    EXPECT_EQ(Matches(man, "<([a-z-]+)>"), TableConnectionNames()) << man;
}

TEST(ToolTables, TheLibraryMessagesSeenDecideTheExitCode)
{
    // Errors and messages seen, the step's own code, what it becomes, what overrides it, and whether it is a refusal.
    const std::tuple<std::vector<WORD>, std::vector<const char*>, int, int, int, bool> cases[] = {
        {{}, {}, ecWrite, ecWrite, 0, false},
        {{15025}, {}, ecWrite, ecErase, 0, true},
        {{15030}, {}, ecWrite, ecVerify, 0, true},
        {{15027}, {}, ecVerify, ecRead, 0, false},
        {{15027, 15025}, {}, ecWrite, ecErase, 0, true},
        {{15028}, {}, ecWrite, ecWrite, 0, true},
        {{15031}, {}, ecWrite, ecWrite, 0, true},
        {{15026}, {}, ecRead, ecRead, ecConnection, false},
        {{15026}, {"Protocol 2 is not yet available"}, ecRead, ecRead, ecNotAvailable, false},
        {{}, {"board support is not available in this version"}, ecConnection, ecConnection, ecNotAvailable, false},
    };
    for (const auto& [errors, texts, own, step, overriding, refusal] : cases) {
        CConsoleSink sink(Quiet());
        for (WORD id : errors)
            sink.DisplayError("failed", id);
        for (const char* text : texts)
            sink.DisplayMessage(text, 0);
        const std::string what = ::testing::PrintToString(errors) + ::testing::PrintToString(texts);
        EXPECT_EQ(StepExitCode(sink, own), step) << what;
        EXPECT_EQ(OverridingExitCode(sink), overriding) << what;
        EXPECT_EQ(SawRefusal(sink), refusal) << what;
    }
}

TEST(ToolTables, SumErrorsAreKnownByEachWording)
{
    for (const char* wording : {"Sum check error", "Sum-check error", "Check sum error", "error code H'11"}) {
        CConsoleSink sink(Quiet());
        EXPECT_EQ(SawMessage(sink, lmSumError), nullptr);
        sink.DisplayError(std::string("Erase: ") + wording, 0);
        EXPECT_STREQ(SawMessage(sink, lmSumError), wording);
        EXPECT_TRUE(IsMessage(std::string("x ") + wording, lmSumError));
    }
    EXPECT_FALSE(IsMessage("Verification failed", lmVerified));
}
