#pragma once
// The simulated Pelto adapter served on a Unix socket, so a host in another
// process reaches the virtual chip's debug interface (the host side is
// CScanletSocketBackend). One client at a time: a client that connects while
// another is served is told the adapter's port is in use.
#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "comms/ScanletSocket.h"
#include "sim/SimPelto.h"

class CSimTarget;

class CSimPeltoServer
{
public:
    // The adapter attaches to this target; the server must not outlive it.
    explicit CSimPeltoServer(CSimTarget& target);
    ~CSimPeltoServer();
    CSimPeltoServer(const CSimPeltoServer&) = delete;
    CSimPeltoServer& operator=(const CSimPeltoServer&) = delete;

    // Listens on path (a stale socket left there is replaced) and serves on a thread.
    bool Start(const CString& path, CString* error);
    // Drops the client, stops serving and removes the socket file.
    void Stop();

    const CString& GetPath() const { return m_strPath; }
    CSimPelto& Pelto() { return *m_pPelto; }
    // Clients served so far (not counting the ones turned away).
    int GetClients() const { return m_nClients.load(); }
    // Time since a request last came or was answered (or since Start), so that an
    // adapter host counts as activity even while the chip hears nothing.
    std::uint64_t GetIdleMilliseconds() const;

private:
    void Run();
    void Serve(int fd);
    void TurnAway(int fd);
    // Carries out one request and makes its answer in place; false when the
    // frame is no request this adapter knows.
    bool Answer(SScanletFrame& frame);
    int ReadWord(unsigned char word[4], unsigned long timeoutMs);

    CSimTarget& m_target;
    std::unique_ptr<CSimPelto> m_pPelto;
    CString m_strPath;
    int m_listenFd = -1;
    int m_wake[2] = {-1, -1};
    std::thread m_thread;
    std::atomic<bool> m_bStopping{false};
    std::atomic<int> m_nClients{0};
    std::atomic<std::int64_t> m_nLastRequestMs{0};
};
