#include "sim/SimTarget.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim/SimBootProgram.h"
#include "sim/SimMainKernel.h"
#include "sim/SimMicroKernel.h"
#include "sim/SimOneKKernel.h"
#include "sim/SimProtocolB.h"
#include "sim/SimUserProgram.h"

namespace {
// The most Start waits for the chip's thread to power the chip on.
constexpr DWORD kPowerOnWaitMs = 5000;

// Waits by looking every millisecond; the target's thread does the work.
template <typename Pred>
bool PollUntil(Pred pred, DWORD timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}
} // namespace

CSimTarget::CSimTarget() : m_Line(m_Transcript) {}

CSimTarget::~CSimTarget()
{
    Stop();
}

const char* CSimTarget::StateName(eSimState state)
{
    switch (state) {
    case ssStopped:
        return "stopped";
    case ssPoweredOff:
        return "powered off";
    case ssBootProgram:
        return "boot program";
    case ssMicroKernel:
        return "micro-kernel";
    case ssUserProgram:
        return "USER program";
    case ssMainKernel:
        return "BOOT main kernel";
    case ssUserMainKernel:
        return "USER main kernel";
    case ssHalted:
        return "halted";
    case ssProtocolB:
        return "Protocol B boot program";
    case ssHeldInReset:
        return "held in reset";
    }
    return "?";
}

bool CSimTarget::Load(const CString& path, CString* pError, const CSimOverrides& overrides)
{
    if (IsRunning()) {
        if (pError)
            *pError = "the target is running";
        return false;
    }
    m_bLoaded = false;
    if (!m_Definition.Load(path, overrides, pError))
        return false;
    m_Model.Configure(m_Definition);
    m_MicroKernel.Load(m_Definition.m_strMicroKernel, "micro-kernel");
    m_MainKernel.Load(m_Definition.m_strMainKernel, "main kernel");
    m_UserMainKernel.Load(m_Definition.m_strUserMainKernel, "USER main kernel");
    m_Modules[0].Load(m_Definition.m_strWriteModule, "write module");
    m_Modules[1].Load(m_Definition.m_strEraseModule, "erase module");
    m_Modules[2].Load(m_Definition.m_strReadModule, "read module");
    m_Modules[3].Load(m_Definition.m_strCheckBlankModule, "check blank module");
    if (!m_BoardSettings.Load(m_Definition, overrides, pError))
        return false;
    {
        std::lock_guard lock(m_faultLock);
        m_Faults = m_Definition.m_Faults;
    }
    m_bLoaded = true;
    return true;
}

bool CSimTarget::Start(CString* pError)
{
    if (!m_bLoaded) {
        if (pError)
            *pError = "no device definition loaded";
        return false;
    }
    if (IsRunning())
        return true;
    if (!m_Line.Open(pError))
        return false;
    m_Transcript.Clear();
    m_Line.SetTolerance(m_Definition.m_dwRateTolerance);
    m_Line.SetThrottle(m_Definition.m_bThrottle);
    m_Line.ClearInterrupt();
    SetFaults(GetFaults());
    m_nRequests = 0;
    for (const CSimKernelFile* file : {&m_MicroKernel, &m_MainKernel, &m_UserMainKernel, &m_Modules[0], &m_Modules[1],
                                       &m_Modules[2], &m_Modules[3]}) {
        if (!file->IsLoaded() && !file->GetPath().IsEmpty())
            m_Transcript.AddEvent(ekNote, phIdle, file->GetError());
    }
    m_eState = ssPoweredOff;
    m_nPinMode = -1;
    m_bHeldInReset = false;
    m_dwStarts = 0;
    m_thread = std::thread(&CSimTarget::ThreadMain, this);
    // The board notes the chip's start count when it goes transparent and ends
    // transparent mode when the count moves: the power-on must be counted
    // before the board can look, however late the chip's thread gets to run.
    PollUntil([&] { return m_dwStarts.load() > 0 || m_eState.load() == ssHeldInReset; }, kPowerOnWaitMs);
    if (m_BoardSettings.m_bPresent) {
        m_pBoard = std::make_unique<CSimKivuBoard>(*this, m_BoardSettings);
        if (m_EventListener)
            m_pBoard->SetEventListener(m_EventListener);
        if (!m_pBoard->Start(pError)) {
            m_pBoard.reset();
            Stop();
            return false;
        }
    }
    return true;
}

void CSimTarget::Stop()
{
    if (m_pBoard) {
        m_pBoard->Stop();
        m_pBoard.reset();
    }
    if (!m_thread.joinable())
        return;
    Request(rqStop);
    m_thread.join();
    m_Line.Close();
    m_eState = ssStopped;
}

CString CSimTarget::GetPortName() const
{
    return m_pBoard ? m_pBoard->GetPortName() : m_Line.GetSlavePath();
}

void CSimTarget::HoldInReset(bool bHold)
{
    if (m_bHeldInReset.exchange(bHold) != bHold)
        Request(rqReset);
}

eSimStartMode CSimTarget::StartMode() const
{
    const int pins = m_nPinMode.load();
    return pins < 0 ? m_Definition.m_eStartMode : static_cast<eSimStartMode>(pins);
}

void CSimTarget::Request(int request)
{
    m_nRequests.fetch_or(request);
    m_Line.Interrupt();
}

void CSimTarget::Reset()
{
    Request(rqReset);
}

void CSimTarget::PowerOff()
{
    Request(rqPowerOff);
}

void CSimTarget::PowerOn()
{
    Request(rqPowerOn);
}

void CSimTarget::SetFaults(const CSimFaults& faults)
{
    {
        std::lock_guard lock(m_faultLock);
        m_Faults = faults;
    }
    m_dwEraseCount = 0;
    m_dwWriteCount = 0;
    m_dwWriteChunkCount = 0;
    m_dwStatusCount = 0;
    m_dwReadAckCount = 0;
    m_dwReadReplyCount = 0;
    m_dwReadByteCount = 0;
    m_Line.SetFaults(faults);
}

void CSimTarget::DisturbRead(DWORD address, std::vector<BYTE>* pData)
{
    const DWORD flip = GetFaults().m_dwFlipReadBit;
    const DWORD first = m_dwReadByteCount.fetch_add(static_cast<DWORD>(pData->size())) + 1;
    if (flip < first || flip - first >= pData->size())
        return;
    const DWORD offset = flip - first;
    (*pData)[offset] ^= 0x01;
    Event(ekFault, "H'%08lX reads H'%02X instead of H'%02X", static_cast<unsigned long>(address + offset),
          (*pData)[offset], static_cast<BYTE>((*pData)[offset] ^ 0x01));
}

CSimFaults CSimTarget::GetFaults() const
{
    std::lock_guard lock(m_faultLock);
    return m_Faults;
}

void CSimTarget::SetThrottle(bool bThrottle)
{
    m_Line.SetThrottle(bThrottle);
}

void CSimTarget::SetState(eSimState state)
{
    if (m_eState.exchange(state) != state)
        Event(ekNote, "the chip runs: %s", StateName(state));
}

void CSimTarget::Event(eSimEventKind kind, const char* pszFormat, ...)
{
    CString text;
    va_list args;
    va_start(args, pszFormat);
    text.FormatV(pszFormat, args);
    va_end(args);
    m_Transcript.AddEvent(kind, m_Line.GetPhase(), text);
}

bool CSimTarget::WaitForState(eSimState state, DWORD timeoutMs) const
{
    return PollUntil([&] { return m_eState.load() == state; }, timeoutMs);
}

bool CSimTarget::WaitUntilRunning(DWORD timeoutMs) const
{
    return PollUntil(
        [&] {
            const eSimState state = m_eState.load();
            return state != ssStopped && state != ssPoweredOff && state != ssHeldInReset;
        },
        timeoutMs);
}

bool CSimTarget::WaitForHostRate(DWORD rate, DWORD timeoutMs) const
{
    return PollUntil([&] { return m_Line.GetObservedHostRate() == rate; }, timeoutMs);
}

bool CSimTarget::WaitUntilIdle(std::uint64_t hostBytes, DWORD timeoutMs) const
{
    return PollUntil([&] { return m_Line.GetHostBytesTaken() >= hostBytes && m_Line.IsWaitingForInput(); },
                     timeoutMs);
}

bool CSimTarget::WaitUntilQuiet(DWORD quietMs, DWORD timeoutMs) const
{
    // Bytes written just before the call may not be readable yet (the pty
    // hands them over on a kernel worker), so the quiet must also last past it.
    const auto asked = std::chrono::steady_clock::now();
    return PollUntil(
        [&] {
            return std::chrono::steady_clock::now() - asked >= std::chrono::milliseconds(quietMs) &&
                   m_Line.IsQuiet(quietMs) && (!m_pBoard || m_pBoard->IsQuiet(quietMs));
        },
        timeoutMs);
}

bool CSimTarget::WriteTranscript(const CString& path, CString* pError) const
{
    CString title;
    title.Format("%s (%s)", m_Definition.m_strName.GetString(), m_Definition.m_strPath.GetString());
    return m_Transcript.Write(path, title, pError);
}

bool CSimTarget::WriteDump(const CString& path, CString* pError) const
{
    const std::vector<BYTE> flash = m_Model.GetFLASH();
    FILE* f = std::fopen(path, "wb");
    bool ok = f != nullptr;
    if (ok)
        ok = std::fwrite(flash.data(), 1, flash.size(), f) == flash.size();
    if (f && std::fclose(f) != 0)
        ok = false;
    if (!ok && pError)
        pError->Format("cannot write the FLASH dump '%s': %s", path.GetString(), std::strerror(errno));
    return ok;
}

bool CSimTarget::InstallResidentKernel(bool bUser)
{
    const CSimKernelFile& file = bUser ? m_UserMainKernel : m_MainKernel;
    if (!file.IsLoaded()) {
        Event(ekViolation, "no resident kernel: %s", file.GetError().GetString());
        return false;
    }
    m_Model.WriteRAM(0, file.GetBytes().data(), file.GetSize());
    m_dwMainKernelSize = file.GetSize();
    m_Line.SetTargetRate(m_Definition.m_dwResidentRate);
    Event(ekNote, "%s main kernel already running at %lu baud", bUser ? "USER" : "BOOT",
          static_cast<unsigned long>(m_Definition.m_dwResidentRate));
    return true;
}

void CSimTarget::RunFromStart()
{
    eSimNext next = snBootProgram;
    switch (StartMode()) {
    case smBoot:
        next = snBootProgram;
        break;
    case smUser:
        next = snUserProgram;
        break;
    case smBootResident:
        next = InstallResidentKernel(false) ? snMainKernel : snHalt;
        break;
    case smUserResident:
        next = InstallResidentKernel(true) ? snUserMainKernel : snHalt;
        break;
    }
    for (;;) {
        m_Line.SetDebugServed(next == snUserProgram || next == snMainKernel || next == snUserMainKernel);
        switch (next) {
        case snBootProgram:
            next = CSimBootProgram(*this).Run();
            break;
        case snMicroKernel:
            if (m_Definition.m_bProtocolB)
                next = CSimProtocolB(*this).Run();
            else
                next = CSimMicroKernel(*this).Run();
            break;
        case snUserProgram:
            next = CSimUserProgram(*this).Run();
            break;
        case snMainKernel:
        case snUserMainKernel:
            if (m_Definition.m_bOverlay)
                next = CSimOneKKernel(*this, next == snUserMainKernel).Run();
            else
                next = CSimMainKernel(*this, next == snUserMainKernel).Run();
            break;
        case snHalt: {
            SetState(ssHalted);
            m_Line.SetPhase(phHalted);
            BYTE b = 0;
            bool intact = false;
            while (m_Line.Receive(&b, &intact, INFINITE) != lrInterrupted) {
            }
            return;
        }
        case snRestart:
        case snInterrupted:
            return;
        }
    }
}

void CSimTarget::ThreadMain()
{
    bool powered = true;
    bool coldStart = true;
    for (;;) {
        const int requests = m_nRequests.exchange(0);
        m_Line.ClearInterrupt();
        // A request that came while the last ones were taken must still interrupt.
        if (m_nRequests.load() != 0)
            m_Line.Interrupt();
        if (requests & rqStop)
            break;
        if ((requests & rqPowerOff) && powered) {
            powered = false;
            m_Model.ScrambleRAM();
            m_Line.SetPhase(phIdle);
            Event(ekNote, "power off");
        }
        if ((requests & rqPowerOn) && !powered) {
            powered = true;
            coldStart = true;
        }
        if (!powered) {
            SetState(ssPoweredOff);
            m_Line.DiscardUntilInterrupted();
            continue;
        }
        if (m_bHeldInReset) {
            SetState(ssHeldInReset);
            m_Line.SetPhase(phIdle);
            m_Line.DiscardUntilInterrupted();
            continue;
        }
        if (coldStart) {
            m_Model.ScrambleRAM();
            Event(ekNote, "power on in %s mode", CSimDefinition::StartModeName(StartMode()));
            coldStart = false;
        } else {
            Event(ekNote, "reset: the chip restarts in %s mode", CSimDefinition::StartModeName(StartMode()));
        }
        ++m_dwStarts;
        m_dwMainKernelSize = 0;
        RunFromStart();
    }
    m_Line.SetPhase(phIdle);
}
