// `zflash ui`: serves the page until Ctrl-C.
#include <chrono>
#include <cstdio>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

#include "Commands.h"
#include "ExitCode.h"
#include "UiServer.h"

extern char** environ;

namespace {
// The user's browser, through the desktop's opener; a failure only means the user opens the address.
bool OpenBrowser(const std::string& url)
{
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, "xdg-open", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0)
        return false;
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
} // namespace

int CmdUi(SCommandContext& c, const std::function<bool()>& stop)
{
    std::string host;
    int port = 0;
    if (!CUiServer::ParseListen(c.o.strListen, &host, &port)) {
        c.console.Error("--listen '" + c.o.strListen + "' is not HOST:PORT", "for example 127.0.0.1:8080");
        return ecUsage;
    }
    CUiServer server;
    std::string error;
    if (!server.Start(host, port, &error)) {
        c.console.Error(error, "choose another port with --listen 127.0.0.1:PORT");
        return ecUsage;
    }
    if (host != "127.0.0.1" && host != "::1" && host != "localhost")
        c.console.Message(skWarning,
                          ("Listening on " + host + ": other machines can reach the programmer with the token").c_str(), 0);
    // The address is the first line on stdout so that scripts can read it.
    std::printf("%s\n", server.Url().c_str());
    std::fflush(stdout);
    if (!c.o.bNoOpen && !OpenBrowser(server.Url()))
        c.console.Note("Open the address above in a browser.");
    c.console.Note("Serving the zflash page; Ctrl-C stops.");
    while (!stop())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Stop();
    c.data = {{"url", server.Url()}};
    return ecSuccess;
}
