// zflash-sim: a virtual Zentra target on a pseudo-terminal.
//
//   zflash-sim -d DEFINITION [--link PATH] [--transcript FILE] [--dump FILE]
//              [--idle SECONDS] [--set KEY=VALUE]... [--throttle] [--verbose]
//              [--pelto SOCKET] [--load FILE]
//
// Prints the host's port (the pty's slave path) as its first line, then the
// Pelto adapter's socket when asked to serve one, and serves
// until SIGINT or SIGTERM, or until the line and the adapter have been idle
// for --idle seconds;
// then writes the FLASH dump and the transcript.
#include <CLI/CLI.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "sim/SimPeltoServer.h"
#include "sim/SimTarget.h"

namespace {
int Fail(const CString& message)
{
    std::fprintf(stderr, "zflash-sim: %s\n", message.GetString());
    return 1;
}

// A raw binary stored in the FLASH from address 0 before the chip starts.
bool Preload(CSimTarget& target, const std::string& path, CString* pError)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *pError = CString("cannot read '") + path.c_str() + "': " + std::strerror(errno);
        return false;
    }
    const std::vector<BYTE> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!target.LoadFLASH(0, data)) {
        pError->Format("'%s' (%zu bytes) does not fit the FLASH", path.c_str(), data.size());
        return false;
    }
    return true;
}
struct SOptions
{
    std::string definition, link, transcript, dump, pelto, load;
    std::vector<std::string> settings;
    double idle = 0.0;
    bool throttle = false, verbose = false;
};

void AddOptions(CLI::App& app, SOptions& o)
{
    app.add_option("-d,--definition", o.definition, "device definition file (.ini)")->required();
    app.add_option("--link", o.link, "also make this symbolic link to the port");
    app.add_option("--transcript", o.transcript, "write the transcript here at the end (.json for JSON)");
    app.add_option("--load", o.load, "preload the FLASH from this raw binary (from address 0)");
    app.add_option("--dump", o.dump, "write the FLASH contents here at the end (raw binary)");
    app.add_option("--idle", o.idle, "stop after the line has been quiet this many seconds")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--set", o.settings, "a [Simulator] setting, KEY=VALUE (wins over the file)");
    app.add_option("--pelto", o.pelto, "also serve the Pelto JTAG adapter on this Unix socket");
    app.add_flag("--throttle", o.throttle, "pace bytes to the line's real speed");
    app.add_flag("-v,--verbose", o.verbose, "show the target's notes and violations on stderr as they happen");
}

bool ReadOverrides(const SOptions& o, CSimOverrides* pOverrides, CString* pError)
{
    for (const std::string& s : o.settings) {
        std::pair<CString, CString> override;
        if (!CSimDefinition::ParseOverride(CString(s), &override)) {
            *pError = CString("--set wants KEY=VALUE, not '") + s.c_str() + "'";
            return false;
        }
        pOverrides->push_back(override);
    }
    if (o.throttle)
        pOverrides->emplace_back("Throttle", "1");
    return true;
}

// Signals are taken synchronously, by this thread only: blocked before any
// other thread starts, so that every thread inherits the mask.
sigset_t BlockStopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

bool LoadTarget(CSimTarget& target, const SOptions& o, const CSimOverrides& overrides, CString* pError)
{
    if (!target.Load(CString(o.definition), pError, overrides))
        return false;
    if (!o.load.empty() && !Preload(target, o.load, pError))
        return false;
    if (o.verbose) {
        target.SetEventListener([](const CSimEvent& e) {
            std::fprintf(stderr, "%10.3f %-9s %s\n", static_cast<double>(e.m_qwMicroseconds) / 1000.0,
                         CSimTranscript::KindName(e.m_eKind), e.m_strText.GetString());
        });
    }
    return true;
}

bool MakeLink(const CSimTarget& target, const std::string& link, CString* pError)
{
    if (link.empty())
        return true;
    ::unlink(link.c_str());
    if (::symlink(target.GetPortName(), link.c_str()) == 0)
        return true;
    *pError = CString("cannot make the link '") + link.c_str() + "': " + std::strerror(errno);
    return false;
}

// Until SIGINT or SIGTERM, or until the line (and the adapter) have been idle long enough.
void WaitForStop(const sigset_t& signals, const CSimTarget& target, const CSimPeltoServer& server, const SOptions& o)
{
    const std::uint64_t idleMs = static_cast<std::uint64_t>(o.idle * 1000.0);
    for (;;) {
        const timespec tick = {0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM)
            return;
        if (idleMs && target.GetIdleMilliseconds() >= idleMs &&
            (o.pelto.empty() || server.GetIdleMilliseconds() >= idleMs)) {
            std::fprintf(stderr, "zflash-sim: idle for %g seconds, stopping\n", o.idle);
            return;
        }
    }
}

int WriteResults(const CSimTarget& target, const SOptions& o)
{
    CString error;
    int result = 0;
    if (!o.dump.empty() && !target.WriteDump(CString(o.dump), &error))
        result = Fail(error);
    if (!o.transcript.empty() && !target.WriteTranscript(CString(o.transcript), &error))
        result = Fail(error);
    return result;
}
} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Virtual Zentra target: plays the chip of a device definition on a pseudo-terminal."};
    SOptions options;
    AddOptions(app, options);
    CLI11_PARSE(app, argc, argv);

    CSimOverrides overrides;
    CString error;
    if (!ReadOverrides(options, &overrides, &error))
        return Fail(error);
    const sigset_t signals = BlockStopSignals();

    CSimTarget target;
    if (!LoadTarget(target, options, overrides, &error) || !target.Start(&error))
        return Fail(error);
    if (!MakeLink(target, options.link, &error)) {
        target.Stop();
        return Fail(error);
    }
    CSimPeltoServer server(target);
    if (!options.pelto.empty() && !server.Start(CString(options.pelto), &error)) {
        if (!options.link.empty())
            ::unlink(options.link.c_str());
        target.Stop();
        return Fail(error);
    }
    std::printf("%s\n", target.GetPortName().GetString());
    if (!options.pelto.empty())
        std::printf("%s\n", server.GetPath().GetString());
    std::fflush(stdout);

    WaitForStop(signals, target, server, options);
    server.Stop();
    target.Stop();
    if (!options.link.empty())
        ::unlink(options.link.c_str());
    return WriteResults(target, options);
}
