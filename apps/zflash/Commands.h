#pragma once
// The commands. Each returns an exit code and fills the data of its JSON result.
#include <memory>
#include <vector>

#include <nlohmann/json.hpp>

#include "Console.h"
#include "ConsoleHost.h"
#include "ImageFiles.h"
#include "Options.h"

class CFLASHBinaryImage;
class CSession;

struct SCommandContext
{
    const SCliOptions& o;
    CConsole& console;
    CConsoleHost& host;
    CSession* pSession;     // the commands that talk to a target get one
    nlohmann::json& data;
};

// Whether a command talks to a target (and so needs a session).
bool CommandNeedsTarget(const std::string& command);
// The numbers and format names of the command line, checked before anything starts.
int CheckCommandLine(SCommandContext& c);

int CmdVersion(SCommandContext& c);
int CmdMessages(SCommandContext& c);
int CmdPorts(SCommandContext& c);
int CmdImageInfo(SCommandContext& c);
int CmdImageConvert(SCommandContext& c);
// Serves until stop() says so (the signal watch), polling every 100 ms.
int CmdSim(SCommandContext& c, const std::function<bool()>& stop);
// Serves the browser page until stop() says so.
int CmdUi(SCommandContext& c, const std::function<bool()>& stop);

// The IMAGE of program and verify, FLASH-sized and checked to fit the
// session's device (ranges: its data); an exit code.
int PrepareImage(SCommandContext& c, std::unique_ptr<CFLASHBinaryImage>& out, std::vector<SImageRange>& ranges);
// The exit code of a failed write, from what the library reported.
int WriteFailureCode(CSession& s);

int CmdProgram(SCommandContext& c);
int CmdVerify(SCommandContext& c);
int CmdRead(SCommandContext& c);
int CmdErase(SCommandContext& c);
int CmdBlank(SCommandContext& c);
int CmdBlocks(SCommandContext& c);
int CmdInfo(SCommandContext& c);
