#include "sim/SimBootProgram.h"

#include "sim/SimTarget.h"

bool CSimBootProgram::AnswerZero(const CSimFaults& faults)
{
    if (faults.m_dwLateBootAnswer > 0) {
        m_target.Event(ekFault, "the answer to a 0x00 comes %lu ms late",
                       static_cast<unsigned long>(faults.m_dwLateBootAnswer));
        if (!m_line.Delay(faults.m_dwLateBootAnswer))
            return false;
    }
    return Tx(0x00);
}

eSimNext CSimBootProgram::Run()
{
    m_target.SetState(ssBootProgram);
    m_line.SetTargetRate(m_def.m_dwBootRate);
    if (!MatchBitRate())
        return snInterrupted;
    const CSimFaults faults = m_target.Faults();
    eStep step = AnswerZero(faults) ? Acknowledge(faults) : stInterrupted;
    if (step == stDone)
        step = ReceiveMicroKernel();
    if (step == stDone && m_def.m_bAutoErase)
        step = AutoErase(faults);
    return step == stDone ? snMicroKernel : step == stFailed ? snHalt : snInterrupted;
}

bool CSimBootProgram::MatchBitRate()
{
    // The boot program times the host's 0x00 and only answers one sent at its
    // own rate; anything else is noise to it.
    Phase(phBitRateMatching);
    BYTE b = 0;
    bool intact = false;
    do {
        if (!Rx(&b, INFINITE, &intact))
            return false;
    } while (!intact || b != 0x00);
    m_target.Event(ekNote, "bit rate matched at %lu baud", static_cast<unsigned long>(m_def.m_dwBootRate));
    return true;
}

CSimProgram::eStep CSimBootProgram::Acknowledge(const CSimFaults& faults)
{
    // Further 0x00 bytes (a host that did not wait for the answer) are already
    // matched and need no second answer, unless this boot program answers each.
    Phase(phBootAcknowledge);
    BYTE b = 0;
    bool intact = false;
    for (;;) {
        if (!Rx(&b, INFINITE, &intact))
            return stInterrupted;
        if (intact && b == 0x55)
            break;
        if (intact && b == 0x00 && faults.m_bRepeatBootAnswer) {
            m_target.Event(ekFault, "a further 0x00 answered again");
            if (!AnswerZero(faults))
                return stInterrupted;
        }
    }
    if (faults.m_eBootAnswer == baEraseFailed) {
        m_target.Event(ekFault, "0x55 answered with 0xFF (erase failed); the boot program stops");
        Tx(0xFF);
        return stFailed;
    }
    if (faults.m_eBootAnswer == baSilent) {
        m_target.Event(ekFault, "0x55 not answered; the boot program stops");
        return stFailed;
    }
    return Tx(0xAA) ? stDone : stInterrupted;
}

CSimProgram::eStep CSimBootProgram::ReceiveMicroKernel()
{
    // Size and every byte are echoed; the host waits for each echo.
    Phase(phMicroKernelDownload);
    BYTE hi = 0, lo = 0;
    if (!Rx(&hi) || !Tx(hi) || !Rx(&lo) || !Tx(lo))
        return stInterrupted;
    const DWORD size = (DWORD(hi) << 8) | lo;
    const DWORD ram = m_def.m_dwRAMSize;
    if (size > ram) {
        m_target.Event(ekViolation, "a micro-kernel of %lu bytes does not fit the %lu bytes of RAM; the boot program stops",
                       static_cast<unsigned long>(size), static_cast<unsigned long>(ram));
        return stFailed;
    }
    std::vector<BYTE> code(size);
    for (DWORD i = 0; i < size; ++i)
        if (!Rx(&code[i]) || !Tx(code[i]))
            return stInterrupted;
    CString why;
    if (!m_target.MicroKernel().Matches(code.data(), code.size(), &why)) {
        m_target.Event(ekViolation, "the micro-kernel download %s; the chip runs it and stops answering",
                       why.GetString());
        return stFailed;
    }
    // Loaded at the top of RAM, out of the main kernel's way.
    m_target.Model().WriteRAM(ram - size, code.data(), size);
    m_target.Event(ekNote, "micro-kernel received (%lu bytes)", static_cast<unsigned long>(size));
    return stDone;
}

CSimProgram::eStep CSimBootProgram::AutoErase(const CSimFaults& faults)
{
    Phase(phAutoErase);
    if (!m_line.Delay(m_def.m_dwAutoEraseTime))
        return stInterrupted;
    if (faults.m_bFailAutoErase) {
        m_target.Event(ekFault, "the automatic erase failed (0xFF); the boot program stops");
        Tx(0xFF);
        return stFailed;
    }
    m_target.Model().EraseAll();
    m_target.Event(ekNote, "the whole FLASH erased automatically");
    return Tx(0xAA) ? stDone : stInterrupted;
}
