#pragma once
// One run of the tool against a target: the definition, the virtual target
// when the port is `sim`, the programmer with the console at the end of its
// status chain, and the worker thread the library's long operations run on
// while the main thread shows progress and Ctrl-C cancels.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ConsoleHost.h"
#include "Options.h"

class CDeviceInfo;
class CFLASHProgrammer;
class CSimPelto;
class CSimTarget;

class CSession
{
public:
    CSession(const SCliOptions& options, CConsole& console, CConsoleHost& host);
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // Definition, virtual target, programmer. An exit code: ecSuccess or why not.
    int Open();
    // Runs work on the worker thread; progress is shown until it returns.
    bool Run(const std::function<bool()>& work);
    // Connects (as its own step, so a failure there gets the connection's exit code).
    int Connect();
    // After a line fault: a new programmer on the same port, the target reset
    // where the tool can reset it, connected again. An exit code.
    int Reconnect();
    // Ends the connection (the library's disconnect), closes the port, stops
    // the virtual target and writes its transcript. Called by the destructor too.
    void Close();

    // From the signal thread.
    void Cancel();
    bool WasCancelled() const { return m_bCancelled.load(); }

    // The exit code for a failed step: cancellation, an unanswered question,
    // an unavailable part, or the failure's own code.
    int FailureCode(int nOwnCode) const;

    CFLASHProgrammer* Programmer() const { return m_pProgrammer; }
    CDeviceInfo* Definition() const { return m_pInfo.get(); }
    CConsoleSink& Sink() { return m_Sink; }
    CSimTarget* Sim() const { return m_pSim.get(); }
    const std::string& DefinitionPath() const { return m_strDefinition; }
    const std::string& PortName() const { return m_strPort; }

    // The definition used when -d is not given: $ZFLASH_DEVICE, the installed
    // copy beside the program, else the source tree's.
    static std::string DefaultDefinition();

private:
    int StartSim();
    int CreateProgrammer(int type);

    const SCliOptions& m_Options;
    CConsole& m_console;
    CConsoleHost& m_host;
    CConsoleSink m_Sink;
    std::string m_strDefinition;
    std::string m_strPort;
    std::unique_ptr<CDeviceInfo> m_pInfo;
    std::unique_ptr<CSimTarget> m_pSim;
    // With -p sim:pelto, the virtual JTAG adapter in front of the virtual chip.
    std::shared_ptr<CSimPelto> m_pPelto;
    std::mutex m_partsMutex;
    CFLASHProgrammer* m_pProgrammer = nullptr;
    std::atomic<bool> m_bCancelled{false};
    bool m_bClosed = false;
};
