#include "Options.h"

#include <cctype>
#include <cstdlib>

#include "ExitCode.h"

namespace {
// Values of the library's connection types; the first is the default.
constexpr SConnectionName kConnections[] = {
    {"boot", 2, false},
    {"user", 3, false},
    {"boot-resident", 5, false},
    {"user-resident", 6, false},
    {"board-boot", 0, true},
    {"board-user", 1, true},
    {"board-boot-resident", 4, true},
    {"board-user-resident", 7, true},
};

void AddImageInput(CLI::App* cmd, SCliOptions& o)
{
    cmd->add_option("IMAGE", o.strImage, "image file: S-record, FPR, CDE, Intel HEX (.hex) or raw binary (.bin)")
        ->required();
    cmd->add_option("--in-format", o.strInFormat, "read IMAGE as srec|fpr|cde|hex|raw whatever its extension says");
    cmd->add_option("--base", o.strBase, "address of a raw binary file's first byte (default 0)");
    cmd->add_flag("--lenient", o.bLenient,
                  "read S-record and Intel HEX files as the library does: non-hex digits as 0, nothing after the "
                  "checksum, a later record over an earlier one");
}
} // namespace

bool ParseNumber(const std::string& input, DWORD* pValue)
{
    std::string t;
    for (char c : input)
        if (c != '_')
            t += c;
    if (t.empty())
        return false;
    int radix = 10;
    unsigned long long scale = 1;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        radix = 16;
        t = t.substr(2);
    } else if (t.size() > 2 && (t[0] == 'H' || t[0] == 'h') && t[1] == '\'') {
        radix = 16;
        t = t.substr(2);
    } else if (t.size() > 1 && (t.back() == 'h' || t.back() == 'H')) {
        radix = 16;
        t.pop_back();
    } else if (t.size() > 1 && (t.back() == 'K' || t.back() == 'k')) {
        scale = 1024;
        t.pop_back();
    } else if (t.size() > 1 && (t.back() == 'M' || t.back() == 'm')) {
        scale = 1024 * 1024;
        t.pop_back();
    }
    if (t.empty() || t.size() > 20)
        return false;
    unsigned long long value = 0;
    for (char c : t) {
        const int d = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                      : std::isxdigit(static_cast<unsigned char>(c))
                          ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                          : 99;
        if (d >= radix)
            return false;
        value = value * static_cast<unsigned long long>(radix) + static_cast<unsigned long long>(d);
        if (value > 0xFFFFFFFFULL)
            return false;
    }
    value *= scale;
    if (value > 0xFFFFFFFFULL)
        return false;
    *pValue = static_cast<DWORD>(value);
    return true;
}

int ConnectionTypeFromName(const std::string& name)
{
    for (const SConnectionName& c : kConnections)
        if (name == c.pszName)
            return c.nType;
    return -1;
}

const char* ConnectionTypeName(int type)
{
    for (const SConnectionName& c : kConnections)
        if (type == c.nType)
            return c.pszName;
    return "unknown";
}

bool IsBoardConnection(int type)
{
    for (const SConnectionName& c : kConnections)
        if (type == c.nType)
            return c.bBoard;
    return false;
}

std::span<const SConnectionName> ConnectionTypes()
{
    return kConnections;
}

namespace {
void AddGlobalOptions(CLI::App& app, SCliOptions& o)
{
    std::vector<std::string> connectionNames;
    std::string connectionHelp = "how to reach the chip:";
    for (const SConnectionName& c : kConnections) {
        connectionNames.emplace_back(c.pszName);
        connectionHelp += std::string(connectionNames.size() == 1 ? " " : ", ") + c.pszName +
                          (connectionNames.size() == 1 ? " (default)" : "");
    }

    app.option_defaults()->group("Global options");
    app.add_option("-d,--device", o.strDevice, "device definition file (default: the bundled ZT31F256)");
    app.add_option_function<std::vector<std::string>>(
           "-p,--port",
           [&o](const std::vector<std::string>& ports) {
               o.Ports = ports;
               o.strPort = ports.back();
           },
           "serial device (/dev/ttyUSB0, COM1), \"Quarn Pelto\" for JTAG, or sim (default): a virtual "
           "target started from the definition (sim:pelto: behind a virtual JTAG adapter); give it again "
           "for each target of a gang run")
        ->allow_extra_args(false);
    app.add_option("--sim-count", o.nSimCount, "a gang run on this many virtual targets")->check(CLI::Range(1, 64));
    app.add_option("-c,--connection", o.strConnection, connectionHelp)
        ->check(CLI::IsMember(connectionNames));
    app.add_option("-b,--baud", o.nBaud, "link speed after the boot (default: the definition's)")
        ->check(CLI::PositiveNumber);
    app.add_option("--protocol", o.nProtocol, "kernel protocol: 0 classic, 1 Protocol B (default: the definition's)")
        ->check(CLI::Range(0, 1));
    app.add_option("--frequency", o.dFrequency, "target clock in MHz, for the Protocol B speed change")
        ->check(CLI::PositiveNumber);
    app.add_option("--ckp", o.nCKP, "peripheral clock ratio, for the Protocol B speed change (default 4)")
        ->check(CLI::Range(1, 64));
    app.add_option("--ckm", o.nCKM, "main clock ratio, for the Protocol B speed change (default 4)")
        ->check(CLI::Range(1, 64));
    app.add_option("--settings", o.strSettings, "settings file (default: $ZFLASH_SETTINGS or ~/.config/zflash/settings.ini)");
    auto* quiet = app.add_flag("-q,--quiet", o.bQuiet, "only warnings, errors and results");
    app.add_flag("-v,--verbose", o.bVerbose, "also the library's advanced-user messages")->excludes(quiet);
    app.add_flag("--json", o.bJson, "one JSON object per event on stdout (message, progress, question, result)");
    auto* yes = app.add_flag("-y,--yes", o.bYes, "answer Yes to the library's questions (\"keep waiting?\" 3 times, then No)");
    app.add_flag("-n,--no", o.bNo, "answer No to the library's questions")->excludes(yes);
    app.add_flag("--no-color", o.bNoColour, "no colours even on a terminal (NO_COLOR does the same)");
    app.add_option("--trace", o.strTrace, "with -p sim: write the virtual target's transcript here (.json for JSON)");
    app.add_flag("--version", o.bVersion, "show the library's version record, as 'zflash version' does");
}

void AddCommands(CLI::App& app, SCliOptions& o)
{
    auto command = [&app, &o](CLI::App* cmd, const std::string& name) {
        cmd->group("Commands");
        cmd->option_defaults()->group("Options");
        cmd->parse_complete_callback([&o, name] { o.strCommand = name; });
        (void)app;
    };

    CLI::App* program = app.add_subcommand("program", "erase what must be erased, write IMAGE, verify");
    command(program, "program");
    AddImageInput(program, o);
    program->add_option("--erase", o.strErase, "erase blocks that hold data: auto (default), ask, never")
        ->check(CLI::IsMember({"auto", "ask", "never"}));
    program->add_flag("--verify,!--no-verify", o.bVerify,
                      "read back and compare after writing (default), or skip the read-back");
    program->add_option("--job-log", o.strJobLog, "production job: append a record of this job to FILE");
    program->add_option("--job", o.strJob, "production job: job number for the log")->needs("--job-log");
    program->add_option("--operator", o.strOperator, "production job: operator name for the log")->needs("--job-log");
    program->add_flag("--timestamps", o.bTimestamps, "production job: log start and elapsed time")->needs("--job-log");
    program->add_option("--serial", o.strSerial,
                        "production: a unit number at ADDR, counting from START by STEP across runs; FORMAT "
                        "le16|le32|le64|be16|be32|be64 (default le32) or textN (N decimal digits)")
        ->needs("--job-log");
    program->add_flag("--skip-unchanged", o.bSkipUnchanged,
                      "production: read first; erase and write only the blocks that differ from IMAGE");
    program->add_option("--retries", o.nRetries, "production: reconnect and carry on after a line fault, N times")
        ->check(CLI::Range(0, 100));

    CLI::App* verifyCmd = app.add_subcommand("verify", "compare the device's FLASH with IMAGE");
    command(verifyCmd, "verify");
    AddImageInput(verifyCmd, o);

    CLI::App* read = app.add_subcommand("read", "read FLASH into an image file");
    command(read, "read");
    read->add_option("OUTPUT", o.strOutput, "file to write")->required();
    read->add_option("--start", o.strStart, "first address (default 0)");
    read->add_option("--length", o.strLength, "bytes to read (default: to the end of FLASH)");
    read->add_option("--format", o.strFormat, "srec|fpr|cde|hex|raw (default: by OUTPUT's extension)");

    CLI::App* erase = app.add_subcommand("erase", "erase the whole FLASH (--all) or the named blocks");
    command(erase, "erase");
    auto* all = erase->add_flag("--all", o.bAll, "every block");
    erase->add_option("BLOCK", o.Blocks, "block names as 'zflash blocks' lists them")->excludes(all);

    command(app.add_subcommand("blank", "check whether the whole FLASH is erased (exit 1 when not)"), "blank");
    command(app.add_subcommand("blocks", "list the erase blocks and which hold data"), "blocks");
    command(app.add_subcommand("info", "show the definition and, when the target answers, its kernel"), "info");

    CLI::App* image = app.add_subcommand("image", "work on image files without a target");
    image->group("Commands");
    image->require_subcommand(1);
    CLI::App* imageInfo = image->add_subcommand("info", "show an image file's ranges, size and checksum");
    command(imageInfo, "image-info");
    AddImageInput(imageInfo, o);
    CLI::App* convert = image->add_subcommand("convert", "convert between image forms (by extension or --format)");
    command(convert, "image-convert");
    AddImageInput(convert, o);
    convert->add_option("OUT", o.strConvertOut, "file to write")->required();
    convert->add_option("--format", o.strFormat, "srec|fpr|cde|hex|raw (default: by OUT's extension)");

    command(app.add_subcommand("ports", "list serial ports with what the system knows of them"), "ports");
    CLI::App* sim = app.add_subcommand("sim", "serve a virtual target on a pty until Ctrl-C");
    command(sim, "sim");
    sim->add_option("--link", o.strLink, "also make this symbolic link to the pty");
    CLI::App* ui = app.add_subcommand("ui", "serve the image editor and operator station to a browser until Ctrl-C");
    command(ui, "ui");
    ui->add_option("--listen", o.strListen,
                   "HOST:PORT to serve on (default 127.0.0.1 and a free port; the address is printed with its token)");
    ui->add_flag("--no-open", o.bNoOpen, "print the address only; do not open a browser");
    command(app.add_subcommand("version", "show the library's version record"), "version");
    command(app.add_subcommand("messages", "list the library's message catalogue"), "messages");
}
} // namespace

void BuildCommandLine(CLI::App& app, SCliOptions& o)
{
    app.description("Programs the on-chip FLASH of Zentra microcontrollers: over a serial port, through the\n"
                    "Kivu programming board or the Pelto JTAG adapter, or into a virtual target (-p sim).");
    app.footer(std::string("\nExamples:\n"
                           "  zflash program examples/blinky.mot           program into the virtual target\n"
                           "  zflash -d devices/ZT31F256.ini -p /dev/ttyUSB0 program app.hex\n"
                           "  zflash read dump.srec --start 0x8000 --length 32K\n"
                           "  zflash image convert app.hex app.srec\n"
                           "  zflash ui                                    the editor and operator station in a browser\n\n") +
               ExitCodesHelp() + "\nRun 'zflash COMMAND --help' for a command's options; 'man zflash' for the guide.");
    // A command, or --version in its place.
    app.require_subcommand(0, 1);
    app.final_callback([&o] {
        if (o.bVersion && !o.strCommand.empty())
            throw CLI::ValidationError("--version", "give it without a command");
        if (o.bVersion)
            o.strCommand = "version";
        if (o.strCommand.empty())
            throw CLI::RequiredError::Subcommand(1);
    });
    app.fallthrough();
    app.set_help_all_flag("--help-all", "show the help of every command");

    AddGlobalOptions(app, o);
    AddCommands(app, o);
}
