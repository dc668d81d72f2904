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
} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Virtual Zentra target: plays the chip of a device definition on a pseudo-terminal."};
    std::string definition, link, transcript, dump, pelto, load;
    std::vector<std::string> settings;
    double idle = 0.0;
    bool throttle = false, verbose = false;
    app.add_option("-d,--definition", definition, "device definition file (.ini)")->required();
    app.add_option("--link", link, "also make this symbolic link to the port");
    app.add_option("--transcript", transcript, "write the transcript here at the end (.json for JSON)");
    app.add_option("--load", load, "preload the FLASH from this raw binary (from address 0)");
    app.add_option("--dump", dump, "write the FLASH contents here at the end (raw binary)");
    app.add_option("--idle", idle, "stop after the line has been quiet this many seconds")->check(CLI::NonNegativeNumber);
    app.add_option("--set", settings, "a [Simulator] setting, KEY=VALUE (wins over the file)");
    app.add_option("--pelto", pelto, "also serve the Pelto JTAG adapter on this Unix socket");
    app.add_flag("--throttle", throttle, "pace bytes to the line's real speed");
    app.add_flag("-v,--verbose", verbose, "show the target's notes and violations on stderr as they happen");
    CLI11_PARSE(app, argc, argv);

    CSimOverrides overrides;
    for (const std::string& s : settings) {
        std::pair<CString, CString> o;
        if (!CSimDefinition::ParseOverride(CString(s), &o))
            return Fail(CString("--set wants KEY=VALUE, not '") + s.c_str() + "'");
        overrides.push_back(o);
    }
    if (throttle)
        overrides.emplace_back("Throttle", "1");

    // Signals are taken synchronously, by this thread only.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    CSimTarget target;
    CString error;
    if (!target.Load(CString(definition), &error, overrides))
        return Fail(error);
    if (!load.empty() && !Preload(target, load, &error))
        return Fail(error);
    if (verbose) {
        target.SetEventListener([](const CSimEvent& e) {
            std::fprintf(stderr, "%10.3f %-9s %s\n", static_cast<double>(e.m_qwMicroseconds) / 1000.0,
                         CSimTranscript::KindName(e.m_eKind), e.m_strText.GetString());
        });
    }
    if (!target.Start(&error))
        return Fail(error);
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(target.GetPortName(), link.c_str()) != 0) {
            const CString why = CString("cannot make the link '") + link.c_str() + "': " + std::strerror(errno);
            target.Stop();
            return Fail(why);
        }
    }
    CSimPeltoServer server(target);
    if (!pelto.empty() && !server.Start(CString(pelto), &error)) {
        if (!link.empty())
            ::unlink(link.c_str());
        target.Stop();
        return Fail(error);
    }
    std::printf("%s\n", target.GetPortName().GetString());
    if (!pelto.empty())
        std::printf("%s\n", server.GetPath().GetString());
    std::fflush(stdout);

    const std::uint64_t idleMs = static_cast<std::uint64_t>(idle * 1000.0);
    for (;;) {
        const timespec tick = {0, 100 * 1000 * 1000};
        const int sig = sigtimedwait(&signals, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM)
            break;
        if (idleMs && target.GetIdleMilliseconds() >= idleMs &&
            (pelto.empty() || server.GetIdleMilliseconds() >= idleMs)) {
            std::fprintf(stderr, "zflash-sim: idle for %g seconds, stopping\n", idle);
            break;
        }
    }
    server.Stop();
    target.Stop();
    if (!link.empty())
        ::unlink(link.c_str());

    int result = 0;
    if (!dump.empty() && !target.WriteDump(CString(dump), &error))
        result = Fail(error);
    if (!transcript.empty() && !target.WriteTranscript(CString(transcript), &error))
        result = Fail(error);
    return result;
}
