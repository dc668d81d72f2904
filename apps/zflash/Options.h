#pragma once
// The command line: `zflash [global options] COMMAND [command options]`.
// Global options may also follow the command.
#include <span>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ImageFiles.h"
#include "platform/Types.h"

struct SCliOptions
{
    // Global.
    std::string strDevice;              // empty: the bundled default device
    std::string strPort = "sim";
    std::vector<std::string> Ports;     // every -p given, in order (several: a gang run)
    int nSimCount = 0;                  // --sim-count: that many virtual targets
    std::string strConnection = "boot";
    long nBaud = 0;                     // 0: the definition's "Baud Rate 0"
    int nProtocol = -1;                 // -1: the definition's protocol
    double dFrequency = 0.0;            // MHz; 0: the definition's clock
    int nCKP = 4;
    int nCKM = 4;
    std::string strSettings;
    bool bQuiet = false;
    bool bVerbose = false;
    bool bJson = false;
    bool bYes = false;
    bool bNo = false;
    bool bNoColour = false;
    std::string strTrace;
    bool bVersion = false;              // --version: the `version` command

    // Which command; "image info" and "image convert" are "image-info" and "image-convert".
    std::string strCommand;

    // Image input (program, verify, image info/convert).
    std::string strImage;
    std::string strInFormat;            // empty: by extension
    std::string strBase = "0";          // raw binary only
    bool bLenient = false;              // S-record and Intel HEX read as the library reads them
    // program
    std::string strErase = "auto";
    bool bVerify = true;
    bool bVerifyGiven = false;
    std::string strJobLog;
    std::string strJob;
    std::string strOperator;
    bool bTimestamps = false;
    // production (program)
    std::string strSerial;              // ADDR:START[:STEP][:FORMAT]
    bool bSkipUnchanged = false;
    int nRetries = 0;
    // read
    std::string strOutput;
    std::string strStart = "0";
    std::string strLength = "0";
    std::string strFormat;              // empty: by extension
    // erase
    bool bAll = false;
    std::vector<std::string> Blocks;
    // image convert
    std::string strConvertOut;
    // sim
    std::string strLink;
    // ui
    std::string strListen = "127.0.0.1:0";
    bool bNoOpen = false;
};

// Builds the parser into app; the chosen command lands in o.strCommand.
void BuildCommandLine(CLI::App& app, SCliOptions& o);

// "0x1F00", "H'1F00", "1F00h", "8192", "64K", "1M"; false for anything else or above 32 bits.
bool ParseNumber(const std::string& text, DWORD* pValue);

struct SConnectionName
{
    const char* pszName;
    int nType;   // the library's connection type
    bool bBoard; // through the programming board
};

// The eight connection types in the order `--help` and the docs list them.
std::span<const SConnectionName> ConnectionTypes();
// By readable name; -1 when unknown.
int ConnectionTypeFromName(const std::string& name);
const char* ConnectionTypeName(int type);
// Whether a connection type goes through the programming board.
bool IsBoardConnection(int type);
