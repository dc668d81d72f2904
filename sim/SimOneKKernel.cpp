#include "sim/SimOneKKernel.h"

#include <algorithm>

#include "sim/SimTarget.h"

namespace {
unsigned long UL(DWORD v)
{
    return static_cast<unsigned long>(v);
}
} // namespace

CSimOneKKernel::CSimOneKKernel(CSimTarget& target, bool bUser) : CSimMainKernel(target, bUser)
{
    m_bModuleCommands = false;
}

bool CSimOneKKernel::ReceiveModule(int entry, bool bAfterParameters)
{
    const bool early = entry == enErase || entry == enCheckBlank;
    if (early == bAfterParameters)
        return true;
    const eSimPhase phase = m_line.GetPhase();
    Phase(phModuleDownload);
    m_nReceived = -1;
    DWORD length = 0;
    if (!RxNumber(2, &length, m_def.m_dwByteTimeout)) {
        Abandoned("module download");
        return false;
    }
    std::vector<BYTE> code(length);
    if (const DWORD got = RxField(code.data(), length, m_def.m_dwByteTimeout); got != length) {
        // The kernel loads the module over itself as the bytes come.
        m_bBroken = got > 0;
        Abandoned("module download");
        return false;
    }
    LoadOverKernel(entry, code);
    if (entry == enWrite && !ReceiveBufferMap(length))
        return false;
    Phase(phase);
    return true;
}

void CSimOneKKernel::LoadOverKernel(int entry, const std::vector<BYTE>& code)
{
    const DWORD length = static_cast<DWORD>(code.size());
    const DWORD limit = WorkAreaStart();
    if (length > limit)
        m_target.Event(ekViolation, "a module of %lu bytes over the main kernel reaches into the kernel's work area "
                       "(from H'%04lX)",
                       UL(length), UL(limit));
    m_target.Model().WriteRAM(0, code.data(), std::min(length, m_target.Model().GetRAMSize()));
    m_target.SetMainKernelSize(0);
    m_bOverlaid = true;
    for (int e = 0; e < 4 && m_nReceived < 0; ++e) {
        const CSimKernelFile& file = m_target.Module(e);
        if (file.IsLoaded() && file.Matches(code.data(), code.size(), nullptr))
            m_nReceived = e;
    }
    if (m_nReceived >= 0) {
        m_target.Event(ekNote, "%s module '%s' loaded over the main kernel (%lu bytes)", EntryName(m_nReceived),
                       m_target.Module(m_nReceived).GetPath().GetString(), UL(length));
        return;
    }
    CString why;
    const CSimKernelFile& wanted = m_target.Module(entry);
    if (wanted.IsLoaded())
        wanted.Matches(code.data(), code.size(), &why);
    m_target.Event(ekViolation, "the module loaded over the main kernel (%lu bytes) is none of the module files%s%s",
                   UL(length), why.IsEmpty() ? "" : ": it ", why.GetString());
}

bool CSimOneKKernel::ReceiveBufferMap(DWORD moduleLength)
{
    DWORD address = 0, size = 0;
    if (!RxNumber(2, &address, m_def.m_dwByteTimeout) || !RxNumber(2, &size, m_def.m_dwByteTimeout)) {
        Abandoned("write buffer map");
        return false;
    }
    m_wBufferAddress = static_cast<WORD>(address);
    m_wBufferSize = static_cast<WORD>(size);
    m_target.Event(ekNote, "data buffer H'%04lX + %lu", UL(address), UL(size));
    const DWORD limit = WorkAreaStart();
    if (address < moduleLength)
        m_target.Event(ekViolation, "the data buffer at H'%04lX overlaps the write module (H'0000 - H'%04lX)",
                       UL(address), UL(moduleLength - 1));
    if (address + size > limit)
        m_target.Event(ekViolation, "the data buffer H'%04lX + %lu reaches into the kernel's work area (from H'%04lX)",
                       UL(address), UL(size), UL(limit));
    if (size % LineSize() != 0)
        m_target.Event(ekViolation, "the data buffer size %lu is not a multiple of the line size %lu", UL(size),
                       UL(LineSize()));
    return true;
}

bool CSimOneKKernel::ModuleReady(int entry, CString* pWhy) const
{
    if (!m_bOverlaid) {
        pWhy->Format("no module came with the command");
        return false;
    }
    if (m_nReceived == entry)
        return true;
    if (m_nReceived < 0)
        pWhy->Format("RAM at H'0000 holds none of the module files, not the %s module", EntryName(entry));
    else
        pWhy->Format("RAM at H'0000 holds the %s module, not the %s module", EntryName(m_nReceived), EntryName(entry));
    return false;
}

eSimNext CSimOneKKernel::AfterOperation()
{
    if (m_bBroken) {
        m_target.Event(ekViolation, "half a module overwrote the main kernel; the chip stops answering");
        return snHalt;
    }
    if (!m_bOverlaid)
        return CSimMainKernel::AfterOperation();
    // The module has done its work and now loads the main kernel back.
    std::vector<BYTE> code;
    const eStep step = ReceiveKernel(&code);
    if (step == stInterrupted)
        return snInterrupted;
    if (step == stFailed)
        return snHalt;
    m_bOverlaid = false;
    m_nReceived = -1;
    return StartKernel(code, m_bUser ? m_target.UserMainKernel() : m_target.MainKernel(), m_bUser);
}

DWORD CSimOneKKernel::ReceiveChunk(BYTE* pData, DWORD count)
{
    DWORD got = 0;
    while (got < count && Rx(&pData[got], m_def.m_dwByteTimeout))
        ++got;
    return got;
}
