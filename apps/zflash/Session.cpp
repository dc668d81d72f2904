#include "Session.h"

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "DefinitionCheck.h"
#include "ExitCode.h"
#include "HostRoute.h"
#include "LibraryMessages.h"
#include "ProgressMeter.h"
#include "devicedb/DeviceDB.h"
#include "platform/Register.h"
#include "platform/Module.h"
#include "programmer/FLASHManager.h"
#include "comms/Scanlet.h"
#include "sim/SimPelto.h"
#include "sim/SimTarget.h"

#ifndef ZFLASH_SOURCE_DIR
#define ZFLASH_SOURCE_DIR "."
#endif

namespace {
constexpr const char* kDefaultDevice = "ZT31F256.ini";
// The Kivu board's own line rate.
constexpr long kBoardRate = 9600;
// How long the virtual target must have been quiet before its transcript is
// taken, and the most the tool waits for that.
constexpr DWORD kTraceQuietMs = 150; // the board holds a frame start up to 100 ms
constexpr DWORD kTraceSettleMs = 5000;

// The virtual target starts the way the connection type expects to find the chip.
const char* SimStartMode(int type)
{
    switch (type) {
    case ctGENUserMode:
    case ctKivuUserMode: return "USER";
    case ctGENBootDirect:
    case ctKivuBootDirect: return "BOOT Resident";
    case ctGENUserDirect:
    case ctKivuUserDirect: return "USER Resident";
    default: return nullptr;
    }
}

eProtectionType ProtectionFor(const std::string& erase)
{
    if (erase == "ask")
        return ptAskBeforeErase;
    if (erase == "never")
        return ptNeverErase;
    return ptEraseAutomatically;
}
} // namespace

CSession::CSession(const SCliOptions& options, CConsole& console, CConsoleHost& host)
    : m_Options(options), m_console(console), m_host(host), m_Sink(console)
{
    m_Sink.SetAdvancedUser(options.bVerbose);
}

CSession::~CSession()
{
    Close();
}

std::string CSession::DefaultDefinition()
{
    if (const char* env = std::getenv("ZFLASH_DEVICE"); env && *env)
        return env;
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const fs::path installed = exe.parent_path().parent_path() / "share" / "zflash" / "devices" / kDefaultDevice;
        if (fs::exists(installed, ec))
            return installed.string();
    }
    return (fs::path(ZFLASH_SOURCE_DIR) / "devices" / kDefaultDevice).string();
}

int CSession::StartSim()
{
    m_pSim = std::make_unique<CSimTarget>();
    CSimOverrides overrides;
    const int type = ConnectionTypeFromName(m_Options.strConnection);
    if (const char* mode = SimStartMode(type))
        overrides.emplace_back("Start Mode", mode);
    // The board connection types find a virtual Kivu board in front of the chip.
    if (IsBoardConnection(type)) {
        overrides.emplace_back("Kivu Board", "1");
        overrides.emplace_back("Resident Rate", std::to_string(kBoardRate).c_str());
    }
    CString error;
    if (!m_pSim->Load(m_strDefinition.c_str(), &error, overrides)) {
        m_console.Error(std::string("the virtual target cannot play this device: ") + error.GetString(),
                        "use a definition with a [Simulator] section (see docs/virtual-target.md), or a real port");
        m_pSim.reset();
        return ecNotAvailable;
    }
    if (!m_pSim->Start(&error)) {
        m_console.Error(std::string("the virtual target does not start: ") + error.GetString());
        m_pSim.reset();
        return ecConnection;
    }
    m_strPort = m_pSim->GetPortName().GetString();
    m_console.Note("Virtual target " + std::string(m_pSim->GetDefinition().m_strName.GetString()) + " on " +
                   m_strPort);
    return ecSuccess;
}

int CSession::Open()
{
    namespace fs = std::filesystem;
    std::error_code ec;
    m_strDefinition = m_Options.strDevice.empty() ? DefaultDefinition() : m_Options.strDevice;
    if (const std::string why = CDefinitionCheck::WhyNotReadable(m_strDefinition); !why.empty()) {
        m_console.Error("device definition '" + m_strDefinition + "' is " + (why == "missing" ? "not found" : why),
                        "pass -d FILE; the bundled definitions are in " +
                            (fs::path(DefaultDefinition()).parent_path()).string());
        return ecFile;
    }
    // Kernel paths in a definition are relative to its folder; an absolute
    // path keeps that true whatever folder the tool runs in.
    m_strDefinition = fs::absolute(m_strDefinition, ec).lexically_normal().string();
    m_pInfo.reset(g_FLASHDeviceDB.GetDeviceInfo(m_strDefinition.c_str()));
    if (!m_pInfo) {
        m_console.Error("cannot read the device definition '" + m_strDefinition + "'");
        return ecFile;
    }
    if (std::string error; !CDefinitionCheck::Check(m_strDefinition, *m_pInfo, &error)) {
        m_console.Error(error, "the definitions in " + fs::path(DefaultDefinition()).parent_path().string() +
                                   " show every key with a good value");
        return ecFile;
    }
    // The library reads any file, giving defaults for what is missing; without
    // these no chip can be reached, so say so now rather than after a boot.
    const char* missing = m_pInfo->m_dwFLASHROMSize == 0  ? "\"FLASH ROM Size\""
                          : m_pInfo->m_dwRAMSize == 0     ? "\"RAM Size\""
                          : m_pInfo->m_EraseBlocks.IsEmpty() ? "erase blocks (\"Erase Block Count\")"
                          : m_pInfo->m_strMainKernel.IsEmpty() ? "\"Main Kernel\""
                                                              : nullptr;
    if (missing) {
        m_console.Error("'" + m_strDefinition + "' is not a usable device definition: it gives no " + missing,
                        "the definitions in " + fs::path(DefaultDefinition()).parent_path().string() +
                            " show every key");
        return ecFile;
    }

    const int type = ConnectionTypeFromName(m_Options.strConnection);
    m_strPort = m_Options.strPort;
    if (m_strPort == "sim" || m_strPort == "sim:pelto") {
        const bool pelto = m_strPort == "sim:pelto";
        const long protocol = m_Options.nProtocol >= 0 ? m_Options.nProtocol : m_pInfo->m_nProtocol;
        if (pelto && protocol == 1) {
            m_console.Error("the virtual target does not play a Protocol B chip behind the JTAG adapter",
                            "use -p sim for this device");
            return ecNotAvailable;
        }
        if (const int code = StartSim(); code != ecSuccess)
            return code;
        if (pelto) {
            // Every JTAG channel the library opens from now on reaches the virtual chip.
            // The board's steps and the boot go to the virtual serial line
            // beside the adapter, for this run only.
            CRegister::SetSessionValue("FLASHJTAGComms", "KivuSerial", m_strPort.c_str());
            m_pPelto = std::make_shared<CSimPelto>(*m_pSim);
            SetScanletBackend(m_pPelto);
            m_strPort = CFLASHProgrammer::kJTAGPortName;
        }
    } else if (!m_Options.strTrace.empty()) {
        m_console.Error("--trace needs the virtual target (-p sim)");
        return ecUsage;
    }

    return CreateProgrammer(type);
}

int CSession::CreateProgrammer(int type)
{
    namespace fs = std::filesystem;
    FLASHManager.Initialise("");
    const long protocol = m_Options.nProtocol >= 0 ? m_Options.nProtocol : m_pInfo->m_nProtocol;
    if (protocol == 1 && IsBoardConnection(type)) {
        // The board's boot sequence changes the rate the classic way, which a
        // Protocol B boot program does not understand.
        m_console.Error("a Protocol B chip cannot be connected through the Kivu board",
                        "connect its serial line directly (-c boot)");
        return ecUsage;
    }
    const float frequency = static_cast<float>(m_Options.dFrequency > 0 ? m_Options.dFrequency
                                                                        : m_pInfo->m_dEVBClock);
    std::string name = m_pInfo->m_strDeviceCode.GetString();
    if (name.empty())
        name = fs::path(m_strDefinition).stem().string();
    CFLASHProgrammer* programmer = FLASHManager.CreateFLASHProgrammer(
        name.c_str(), m_strPort.c_str(), static_cast<eConnectionType>(type), ProtectionFor(m_Options.strErase),
        m_Options.bVerbose ? mlAdvanced : mlNormal, "", protocol, frequency, m_Options.nCKP, m_Options.nCKM, 0,
        m_strDefinition.c_str());
    if (!programmer) {
        if (m_strPort == CFLASHProgrammer::kJTAGPortName) {
            m_console.Error("the Pelto JTAG adapter is not available in this build",
                            "connect through a serial port (-p /dev/ttyUSB0) instead");
            return ecNotAvailable;
        }
        m_console.Error("the library refused the device definition '" + m_strDefinition + "'");
        return ecFile;
    }
    programmer->SetStatusUpdate(&m_Sink);
    if (m_Options.nBaud > 0)
        programmer->SetBaudRate(m_Options.nBaud);
    else if (IsBoardConnection(type))
        // The board talks at its own rate until told otherwise; a faster first
        // look for a running kernel would garble its frames.
        programmer->SetBaudRate(kBoardRate);
    std::lock_guard lock(m_partsMutex);
    m_pProgrammer = programmer;
    return ecSuccess;
}

bool CSession::Run(const std::function<bool()>& work)
{
    if (m_bCancelled)
        return true;
    bool result = false;
    // Each step starts its display afresh: no text or position left from the last one.
    m_Sink.SetProgressString("");
    m_Sink.SetProgressRange(0, 100);
    m_Sink.GetProgress() = 0;
    CProgressMeter meter(m_Sink, m_console);
    std::thread worker([&, host = CHostRoute::Current()] {
        CHostRoute::SetCurrent(host);
        result = work();
    });
    worker.join();
    meter.Stop();
    return result;
}

int CSession::Connect()
{
    const bool ok = Run([this] { return m_pProgrammer->Connect(); });
    if (m_bCancelled)
        return ecCancelled;
    if (ok && m_pProgrammer->IsConnected())
        return ecSuccess;
    const int code = FailureCode(ecConnection);
    if (code == ecNotAvailable)
        m_console.Error("this connection is not available in this build of zflash",
                        "connect the chip to the serial port directly and use -c boot (or user, boot-resident, "
                        "user-resident)");
    else if (const long protocol = m_pProgrammer->GetProtocol(); code == ecConnection && protocol != 0 && protocol != 1)
        m_console.Error("'" + m_strDefinition + "' gives \"Protocol\" " + std::to_string(protocol) +
                            ", a protocol zflash does not know",
                        "use 0 (classic) or 1 (Protocol B), in the definition or with --protocol");
    else if (code == ecConnection && SawMessage(m_Sink, lmRateRefused) && protocol == 1)
        m_console.Error("the chip refused the new speed",
                        "Protocol B needs the chip's input clock (--frequency) and clock ratios (--ckp, --ckm)");
    else if (code == ecConnection && !m_pSim && m_strPort == CFLASHProgrammer::kJTAGPortName) {
        const char* socket = std::getenv("ZFLASH_PELTO_SOCKET");
        m_console.Error("no connection through the Pelto JTAG adapter",
                        socket && *socket ? "check that 'zflash-sim --pelto " + std::string(socket) +
                                                "' is running (ZFLASH_PELTO_SOCKET names its socket)"
                                          : "check that the adapter's driver is installed and set up, and its cable "
                                            "to the chip");
    }
    else if (code == ecConnection && !m_pSim)
        m_console.Error("no connection to the device on '" + m_strPort + "'",
                        "check the cable and the chip's mode pins, the connection type (-c) and the speed (-b); "
                        "a kernel left running by an earlier run answers -c boot-resident; "
                        "'zflash ports' lists the serial ports");
    return code;
}

int CSession::Reconnect()
{
    if (m_bCancelled)
        return ecCancelled;
    {
        std::lock_guard lock(m_partsMutex);
        delete m_pProgrammer;
        m_pProgrammer = nullptr;
    }
    m_Sink.Reset();
    const int type = ConnectionTypeFromName(m_Options.strConnection);
    if (m_pSim) {
        // The virtual board's reset: the chip starts afresh in its start mode.
        m_pSim->Reset();
    } else if (type == ctGENBootMode || type == ctGENUserMode) {
        // No reset line on a direct cable: the kernel that was running is still there.
        const int resident = type == ctGENBootMode ? ctGENBootDirect : ctGENUserDirect;
        if (CreateProgrammer(resident) == ecSuccess && Connect() == ecSuccess)
            return ecSuccess;
        std::lock_guard lock(m_partsMutex);
        delete m_pProgrammer;
        m_pProgrammer = nullptr;
    }
    if (const int code = CreateProgrammer(type); code != ecSuccess)
        return code;
    return Connect();
}

int CSession::FailureCode(int nOwnCode) const
{
    if (m_bCancelled)
        return ecCancelled;
    if (m_host.GaveUpWaiting())
        return ecConnection;
    if (m_host.WasUnanswered())
        return ecAnswerNeeded;
    const int overriding = OverridingExitCode(m_Sink);
    return overriding != 0 ? overriding : nOwnCode;
}

void CSession::Cancel()
{
    m_bCancelled = true;
    // What fails from here on fails because of the cancel, which is the one thing to say.
    m_Sink.SetErrorsAdvanced(true);
    m_host.Interrupt();
    std::lock_guard lock(m_partsMutex);
    if (m_pProgrammer)
        m_pProgrammer->Cancel();
}

void CSession::Close()
{
    if (m_bClosed)
        return;
    m_bClosed = true;
    if (m_pProgrammer) {
        if (m_pProgrammer->IsConnected() && !m_bCancelled) {
            // The result is settled by now; a reset through the board ends with a
            // look for the kernel that is meant to find nothing.
            m_Sink.SetErrorsAdvanced(true);
            if (!Run([this] { return m_pProgrammer->Disconnect(0, 0); }))
                m_console.Message(skWarning, "the disconnect did not complete; the chip may need a reset", 0);
        }
        std::lock_guard lock(m_partsMutex);
        delete m_pProgrammer;
        m_pProgrammer = nullptr;
    }
    if (m_pPelto) {
        SetScanletBackend(nullptr);
        m_pPelto.reset();
        CRegister::ClearSessionValues();
    }
    if (m_pSim) {
        // The host's last bytes may still be on their way to the chip (through
        // the board, behind a kernel it sends again): a transcript cut before
        // them would not show how the session ended.
        if (!m_Options.strTrace.empty())
            m_pSim->WaitUntilQuiet(kTraceQuietMs, kTraceSettleMs);
        m_pSim->Stop();
        if (!m_Options.strTrace.empty()) {
            CString error;
            if (!m_pSim->WriteTranscript(m_Options.strTrace.c_str(), &error))
                m_console.Error(std::string("cannot write the transcript: ") + error.GetString());
            else
                m_console.Note("Transcript written to " + m_Options.strTrace);
        }
        m_pSim.reset();
    }
}
