#pragma once
// `zflash ui`: the page and its API over HTTP. Every request must carry the
// token made at start (in the query or the X-Zflash-Token header) and name
// this server in Host (and Origin, when sent), so that no other page in the
// browser can drive the programmer.
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "UiEvents.h"
#include "UiHost.h"
#include "UiStation.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}

class CUiServer
{
public:
    // strToken empty: a random one.
    explicit CUiServer(std::string strToken = "");
    ~CUiServer();
    CUiServer(const CUiServer&) = delete;
    CUiServer& operator=(const CUiServer&) = delete;

    // Binds (port 0: any free port) and serves on a thread of its own; false with the reason.
    bool Start(const std::string& host, int nPort, std::string* pError);
    void Stop();

    int Port() const { return m_nPort; }
    const std::string& Token() const { return m_strToken; }
    // The address to open, token included.
    std::string Url() const;

    // Whether a request may pass: the token, and Host/Origin naming this server.
    // Empty when it may, else why not.
    std::string Refusal(const httplib::Request& request) const;

    // "HOST:PORT", "PORT" or "HOST"; false when it is not one of those.
    static bool ParseListen(const std::string& text, std::string* pHost, int* pPort);
    static std::string RandomToken();

private:
    void Routes();

    std::string m_strToken;
    std::string m_strHost;
    int m_nPort = 0;
    std::vector<std::string> m_AllowedHosts;
    CUiEventHub m_events;
    CUiHost m_host;
    std::unique_ptr<CUiStation> m_pStation;
    std::unique_ptr<httplib::Server> m_pServer;
    std::thread m_thread;
};
