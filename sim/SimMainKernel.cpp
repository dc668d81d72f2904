#include "sim/SimMainKernel.h"

#include <algorithm>

#include "sim/SimTarget.h"

namespace {
unsigned long UL(DWORD v)
{
    return static_cast<unsigned long>(v);
}
} // namespace

CSimMainKernel::CSimMainKernel(CSimTarget& target, bool bUser) : CSimProgram(target), m_bUser(bUser) {}

const char* CSimMainKernel::EntryName(int entry)
{
    static const char* const kNames[] = {"write", "erase", "read", "check blank"};
    return entry >= 0 && entry < 4 ? kNames[entry] : "?";
}

DWORD CSimMainKernel::WorkAreaStart() const
{
    DWORD top = m_def.m_dwRAMSize;
    if (m_bUser && m_def.m_wUserRAMTop < top)
        top = m_def.m_wUserRAMTop;
    return top > m_def.m_wWorkArea ? top - m_def.m_wWorkArea : 0;
}

bool CSimMainKernel::Abandoned(const char* pszWhat)
{
    if (!Interrupted())
        m_target.Event(ekViolation, "%s: the rest of the command did not come; abandoned", pszWhat);
    return true;
}

eSimNext CSimMainKernel::Run()
{
    m_target.SetState(m_bUser ? ssUserMainKernel : ssMainKernel);
    for (;;) {
        Phase(phCommand);
        BYTE command = 0;
        if (!Rx(&command))
            return snInterrupted;
        bool handled = true;
        const eSimNext next = Command(command, &handled);
        if (Interrupted())
            return snInterrupted;
        if (!handled)
            return next;
    }
}

// Erase, blank check, read and write: the commands after which AfterOperation runs.
bool CSimMainKernel::IsOperation(BYTE command)
{
    const int lengthBytes = command >> 5;
    return command == 0x03 || command == 0x05 ||
           (lengthBytes >= 1 && lengthBytes <= 4 && ((command & 0x1F) == 0x02 || (command & 0x1F) == 0x04));
}

// Runs one command; *pHandled false means the kernel stops and next says what follows.
eSimNext CSimMainKernel::Command(BYTE command, bool* pHandled)
{
    if (!m_bModuleCommands && (command == 0x28 || command == 0x48 || command == 0x38)) {
        m_target.Event(ekViolation, "H'%02X is not a command of this kernel; ignored", command);
        return snMainKernel;
    }
    eSimNext next = snMainKernel;
    switch (command) {
    case 0x09:
        Identity();
        break;
    case 0x0A:
        Handshake();
        break;
    case 0x03:
        Erase();
        break;
    case 0x05:
        BlankCheck();
        break;
    case 0x22:
    case 0x42:
    case 0x62:
    case 0x82:
        Write(command);
        break;
    case 0x24:
    case 0x44:
    case 0x64:
    case 0x84:
        Read(command);
        break;
    case 0x28:
    case 0x48:
        next = ModuleDownload(command);
        break;
    case 0x38:
        FunctionMap();
        break;
    case 0x0B:
        next = EndOfConnection();
        break;
    default:
        m_target.Event(ekViolation, "unknown command H'%02X ignored", command);
        break;
    }
    if (IsOperation(command) && !Interrupted())
        next = AfterOperation();
    *pHandled = next == snMainKernel || next == snUserMainKernel;
    return *pHandled ? snMainKernel : next;
}

void CSimMainKernel::Identity()
{
    Phase(phIdentity);
    const bool user = m_bUser || m_target.Faults().m_bUserKernelRunning;
    const BYTE bits = static_cast<BYTE>((m_def.m_byBitFields & ~0x40) | (user ? 0x40 : 0));
    const BYTE reply[7] = {
        static_cast<BYTE>(m_def.m_wKernelWord >> 8), static_cast<BYTE>(m_def.m_wKernelWord),
        static_cast<BYTE>(m_def.m_wLineSize),        static_cast<BYTE>(m_def.m_wLineSize >> 8),
        static_cast<BYTE>(m_def.m_wWorkArea),        static_cast<BYTE>(m_def.m_wWorkArea >> 8),
        bits,
    };
    if (!TxField(reply, sizeof reply))
        return;
    BYTE id = 0;
    if (!Rx(&id, m_def.m_dwByteTimeout)) {
        Abandoned("identity request");
        return;
    }
    m_byIdentifier = id;
    if (user) {
        const BYTE top[2] = {static_cast<BYTE>(m_def.m_wUserRAMTop >> 8), static_cast<BYTE>(m_def.m_wUserRAMTop)};
        if (!TxField(top, 2))
            return;
    }
    m_target.Event(ekNote, "identity sent (%s kernel); the host's identifier is %u", user ? "USER" : "BOOT", id);
}

void CSimMainKernel::Handshake()
{
    Phase(phHandshake);
    BYTE handshake = m_def.m_byHandshake;
    if (m_target.Faults().m_bWrongHandshake) {
        handshake = static_cast<BYTE>(~handshake);
        m_target.Event(ekFault, "wrong handshake byte %u sent", handshake);
    }
    if (Tx(handshake))
        Tx(m_byIdentifier);
}

bool CSimMainKernel::ModuleInPlace(int entry, CString* pWhy) const
{
    const CSimKernelFile& file = m_target.Module(entry);
    if (m_nMapCount < 0) {
        pWhy->Format("no function map has been received");
        return false;
    }
    if (entry >= m_nMapCount) {
        pWhy->Format("the function map has no %s entry (%d entries)", EntryName(entry), m_nMapCount);
        return false;
    }
    if (m_Map[entry] == 0) {
        pWhy->Format("the function map's %s entry is 0", EntryName(entry));
        return false;
    }
    if (!file.IsLoaded()) {
        *pWhy = file.GetError();
        return false;
    }
    DWORD diff = 0;
    if (!m_target.Model().RAMHolds(m_Map[entry], file.GetBytes(), &diff)) {
        pWhy->Format("RAM at H'%04X does not hold the %s module '%s' (first difference at offset %lu)", m_Map[entry],
                     EntryName(entry), file.GetPath().GetString(), UL(diff));
        return false;
    }
    return true;
}

void CSimMainKernel::Refuse(const char* pszOperation, const CString& why)
{
    m_target.Event(ekRefusal, "%s refused: %s", pszOperation, why.GetString());
}

bool CSimMainKernel::ReceiveRange(BYTE command, const char* pszOperation, DWORD* pLength, DWORD* pStart)
{
    if (RxNumber(command >> 5, pLength, m_def.m_dwByteTimeout) &&
        RxNumber(m_def.AddressWidth(), pStart, m_def.m_dwByteTimeout))
        return true;
    Abandoned(pszOperation);
    return false;
}

bool CSimMainKernel::ModuleRefused(int entry, const char* pszOperation)
{
    CString why;
    if (ModuleReady(entry, &why))
        return false;
    Refuse(pszOperation, why);
    Tx(kRefused);
    return true;
}

CString CSimMainKernel::BlockNames(const std::vector<std::size_t>& blocks) const
{
    CString names;
    for (std::size_t i : blocks)
        names += (names.IsEmpty() ? "" : " ") + m_target.Model().GetBlocks()[i].m_strName;
    return names;
}

void CSimMainKernel::Erase()
{
    Phase(phErase);
    DWORD start = 0, end = 0;
    BYTE ebr[3] = {0, 0, 0};
    if (!ReceiveEraseRequest(&start, &end, ebr) || !ReceiveModule(enErase, true) || ModuleRefused(enErase, "erase"))
        return;
    const CSimFaults faults = m_target.Faults();
    const DWORD number = m_target.NextEraseNumber();
    if (faults.m_dwCorruptEraseRegisters == number)
        CorruptEraseRegister(ebr, number);
    const std::vector<std::size_t> picked = PickBlocks(start, end, ebr);
    if (picked.empty()) {
        m_target.Event(ekViolation, "erase of H'%08lX - H'%08lX selects no block", UL(start), UL(end));
        Tx(0x30);
        return;
    }
    if (!EraseTime(static_cast<DWORD>(picked.size()), faults.m_dwErasePolls))
        return;
    if (faults.m_dwFailErase == number) {
        m_target.Event(ekFault, "erase %lu fails (0x30)", UL(number));
        Tx(0x30);
        return;
    }
    for (std::size_t i : picked)
        m_target.Model().EraseBlock(i);
    m_target.Event(ekNote, "erased %s", BlockNames(picked).GetString());
    Tx(0x24);
}

bool CSimMainKernel::ReceiveEraseRequest(DWORD* pStart, DWORD* pEnd, BYTE* pEBR)
{
    const int width = m_def.AddressWidth();
    const DWORD registers = static_cast<DWORD>(m_def.EBRCount());
    if (!ReceiveModule(enErase, false))
        return false;
    if (!RxNumber(width, pStart, m_def.m_dwByteTimeout) || !RxNumber(width, pEnd, m_def.m_dwByteTimeout) ||
        RxField(pEBR, registers, m_def.m_dwByteTimeout) != registers) {
        Abandoned("erase");
        return false;
    }
    return true;
}

void CSimMainKernel::CorruptEraseRegister(BYTE* pEBR, DWORD number)
{
    const int registers = m_def.EBRCount();
    if (registers <= 0)
        return;
    // The first register that selects anything, bent as a corrupted byte would be.
    int r = 0;
    while (r + 1 < registers && pEBR[r] == 0)
        ++r;
    m_target.Event(ekFault, "erase %lu: erase register %d arrives as H'%02X instead of H'%02X", UL(number), r,
                   pEBR[r] ^ CSimFaults::kCorruptMask, pEBR[r]);
    pEBR[r] ^= CSimFaults::kCorruptMask;
}

// The erase registers pick the blocks; the addresses only say what the host meant.
std::vector<std::size_t> CSimMainKernel::PickBlocks(DWORD start, DWORD end, const BYTE* pEBR)
{
    const int registers = m_def.EBRCount();
    const auto& blocks = m_target.Model().GetBlocks();
    std::vector<std::size_t> picked, meant;
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        const CSimBlock& b = blocks[i];
        if (b.m_dwStart >= start && b.m_dwStart + b.m_dwSize - 1 <= end)
            meant.push_back(i);
        bool selected = false;
        for (int r = 0; r < registers; ++r)
            selected = selected || (b.m_byEBR[r] & pEBR[r]) != 0;
        if (selected)
            picked.push_back(i);
    }
    if (registers == 0)
        return meant;
    if (picked != meant)
        m_target.Event(ekViolation, "the erase registers select {%s} but H'%08lX - H'%08lX covers {%s}",
                       BlockNames(picked).GetString(), UL(start), UL(end), BlockNames(meant).GetString());
    return picked;
}

bool CSimMainKernel::EraseTime(DWORD blocks, DWORD polls)
{
    // The kernel reports that it is still busy polls times along the way.
    const DWORD total = m_def.m_dwEraseTime * blocks;
    const DWORD step = total / (polls + 1);
    for (DWORD i = 0; i < polls; ++i) {
        if (!m_line.Delay(step) || !Tx(0x29))
            return false;
    }
    return m_line.Delay(total - step * polls);
}

void CSimMainKernel::BlankCheck()
{
    Phase(phBlankCheck);
    const int width = m_def.AddressWidth();
    DWORD start = 0, length = 0;
    if (!ReceiveModule(enCheckBlank, false))
        return;
    if (!RxNumber(width, &start, m_def.m_dwByteTimeout) || !RxNumber(width, &length, m_def.m_dwByteTimeout)) {
        Abandoned("blank check");
        return;
    }
    if (!ReceiveModule(enCheckBlank, true) || ModuleRefused(enCheckBlank, "blank check"))
        return;
    if (!m_target.Model().InFLASH(start, length)) {
        m_target.Event(ekViolation, "blank check of H'%08lX + H'%08lX reaches beyond the FLASH", UL(start), UL(length));
        Tx(kRefused);
        return;
    }
    if (length == 0)
        m_target.Event(ekViolation, "blank check of 0 bytes at H'%08lX", UL(start));
    const bool blank = m_target.Model().IsBlank(start, length);
    m_target.Event(ekNote, "H'%08lX + H'%08lX is %s", UL(start), UL(length), blank ? "blank" : "not blank");
    Tx(blank ? 0x26 : kNotBlank);
}

void CSimMainKernel::Read(BYTE command)
{
    Phase(phRead);
    DWORD length = 0, start = 0;
    if (!ReceiveRange(command, "read", &length, &start))
        return;
    if (!ReceiveModule(enRead, false) || !ReceiveModule(enRead, true) || ModuleRefused(enRead, "read"))
        return;
    std::vector<BYTE> data;
    if (!m_target.Model().ReadFLASH(start, length, &data)) {
        m_target.Event(ekViolation, "read of H'%08lX + H'%08lX reaches beyond the FLASH", UL(start), UL(length));
        Tx(kRefused);
        return;
    }
    m_target.DisturbRead(start, &data);
    DWORD offset = 0;
    DWORD resent = 0;
    while (offset < length) {
        const DWORD chunk = std::min<DWORD>(32, length - offset);
        if (!TxField(data.data() + offset, chunk))
            return;
        BYTE reply = 0;
        if (!ReceiveReadReply(start + offset, &reply))
            return;
        if (reply == 0x00) {
            offset += chunk;
        } else if (reply == 0x01) {
            ++resent;
        } else if (reply == 0xFF) {
            m_target.Event(ekNote, "read cancelled by the host after %lu of %lu bytes", UL(offset), UL(length));
            return;
        } else {
            m_target.Event(ekViolation, "reply H'%02X to a read chunk is none of 00, 01, FF; read abandoned", reply);
            return;
        }
    }
    m_target.Event(ekNote, "read H'%08lX + H'%08lX (%lu chunks sent again)", UL(start), UL(length), UL(resent));
}

bool CSimMainKernel::ReceiveReadReply(DWORD address, BYTE* pReply)
{
    bool lost = false;
    do {
        if (!Rx(pReply, m_def.m_dwReplyTimeout)) {
            Abandoned("read");
            return false;
        }
        // A lost acknowledge leaves the kernel waiting for a reply to the same chunk.
        lost = *pReply == 0x00 && m_target.NextReadAckNumber() == m_target.Faults().m_dwLoseReadAck;
        if (lost)
            m_target.Event(ekFault, "the acknowledge of the read chunk at H'%08lX is lost", UL(address));
    } while (lost);
    return true;
}

DWORD CSimMainKernel::ReceiveChunk(BYTE* pData, DWORD count)
{
    return RxField(pData, count, m_def.m_dwByteTimeout);
}

void CSimMainKernel::Swallow(DWORD count)
{
    std::vector<BYTE> ignored(count);
    ReceiveChunk(ignored.data(), count);
}

DWORD CSimMainKernel::LineSize() const
{
    return m_def.m_wLineSize ? m_def.m_wLineSize : 1;
}

void CSimMainKernel::Write(BYTE command)
{
    Phase(phWrite);
    DWORD length = 0, start = 0;
    if (!ReceiveRange(command, "write", &length, &start))
        return;
    if (!ReceiveModule(enWrite, false) || !ReceiveModule(enWrite, true) || !WriteAccepted(start, length))
        return;
    const CSimFaults faults = m_target.Faults();
    const DWORD number = m_target.NextWriteNumber();
    std::vector<BYTE> chunkData;
    for (DWORD offset = 0; offset < length;) {
        const DWORD chunk = std::min<DWORD>(m_wBufferSize, length - offset);
        chunkData.assign(chunk, 0xFF);
        if (!ReceiveWriteChunk(chunkData.data(), chunk, offset + chunk == length))
            return;
        const BYTE answer = ProgramChunk(start + offset, chunkData.data(), chunk, faults);
        if (!Tx(answer) || answer == kWriteFailed || !HostWantsMore(offset + chunk, length))
            return;
        offset += chunk;
    }
    if (faults.m_dwFailWrite == number) {
        m_target.Event(ekFault, "write %lu ends with failure status", UL(number));
        Tx(kWriteFailed);
        return;
    }
    m_target.Event(ekNote, "wrote H'%08lX + H'%08lX", UL(start), UL(length));
    Tx(kWriteOK);
}

bool CSimMainKernel::WriteAccepted(DWORD start, DWORD length)
{
    // A refused write still takes its first chunk, so that the data is not
    // mistaken for commands, and answers it with the refusal.
    const DWORD firstChunk = std::min<DWORD>(length, m_wBufferSize ? m_wBufferSize : length);
    CString why;
    if (!ModuleReady(enWrite, &why)) {
        Refuse("write", why);
    } else if (m_wBufferSize == 0) {
        Refuse("write", "the function map gives no data buffer");
    } else if (!m_target.Model().InFLASH(start, length)) {
        m_target.Event(ekViolation, "write of H'%08lX + H'%08lX reaches beyond the FLASH", UL(start), UL(length));
    } else {
        const DWORD line = LineSize();
        if (start % line != 0 || length % line != 0)
            m_target.Event(ekViolation, "write of H'%08lX + H'%08lX is not aligned to the line size %lu", UL(start),
                           UL(length), UL(line));
        return true;
    }
    Swallow(firstChunk);
    Tx(kRefused);
    return false;
}

bool CSimMainKernel::ReceiveWriteChunk(BYTE* pData, DWORD chunk, bool bLast)
{
    const DWORD got = ReceiveChunk(pData, chunk);
    if (got == chunk)
        return true;
    if (Interrupted())
        return false;
    // Announced padding that never came: less than a line at the very end is
    // taken as H'FF, which leaves the FLASH as it is.
    const DWORD missing = chunk - got;
    if (got == 0 || missing >= LineSize() || !bLast) {
        m_target.Event(ekViolation, "write: %lu of %lu bytes of a chunk came; write abandoned", UL(got), UL(chunk));
        return false;
    }
    m_target.Event(ekViolation, "write: the last %lu announced bytes never came; taken as H'FF", UL(missing));
    return true;
}

// Programs one chunk through the data buffer: the answer to the host.
BYTE CSimMainKernel::ProgramChunk(DWORD address, const BYTE* pData, DWORD chunk, const CSimFaults& faults)
{
    if (!m_target.Model().WriteRAM(m_wBufferAddress, pData, chunk))
        m_target.Event(ekViolation, "the data buffer H'%04X + %lu lies outside RAM", m_wBufferAddress, UL(chunk));
    DWORD firstIllegal = 0;
    const DWORD illegal = m_target.Model().Program(address, pData, chunk, &firstIllegal);
    bool ok = true;
    if (illegal) {
        m_target.Event(ekViolation, "write to H'%08lX: %lu bytes ask 0 bits to become 1 (first at H'%08lX); the "
                       "FLASH was not erased there",
                       UL(address), UL(illegal), UL(firstIllegal));
        ok = !m_def.m_bFailOverwrite;
    }
    const DWORD chunkNumber = m_target.NextWriteChunkNumber();
    if (faults.m_dwFailWriteChunk == chunkNumber) {
        m_target.Event(ekFault, "write chunk %lu at H'%08lX fails", UL(chunkNumber), UL(address));
        ok = false;
    }
    if (!ok)
        return kWriteFailed;
    if (faults.m_dwAcceptWriteChunk == chunkNumber) {
        m_target.Event(ekFault, "write chunk %lu at H'%08lX answered with H'10", UL(chunkNumber), UL(address));
        return kWriteAccepted;
    }
    return kWriteOK;
}

// The host's reply after a chunk: false when the write ends there.
bool CSimMainKernel::HostWantsMore(DWORD done, DWORD length)
{
    BYTE reply = 0;
    if (!Rx(&reply, m_def.m_dwReplyTimeout)) {
        Abandoned("write");
        return false;
    }
    if (reply == 0xFF) {
        m_target.Event(ekNote, "write cancelled by the host after %lu of %lu bytes", UL(done), UL(length));
        Tx(kWriteFailed);
        return false;
    }
    if (reply != 0x01) {
        m_target.Event(ekViolation, "reply H'%02X after a write chunk is neither 01 nor FF; write abandoned", reply);
        return false;
    }
    return true;
}

eSimNext CSimMainKernel::ModuleDownload(BYTE command)
{
    Phase(phModuleDownload);
    DWORD length = 0, address = 0;
    if (!RxNumber(2, &length, m_def.m_dwByteTimeout) || !RxNumber(2, &address, m_def.m_dwByteTimeout)) {
        Abandoned("module download");
        return snMainKernel;
    }
    if ((command == 0x28) != (length < 0x100))
        m_target.Event(ekViolation, "a module of %lu bytes announced with H'%02X", UL(length), command);
    std::vector<BYTE> code(length);
    if (RxField(code.data(), length, m_def.m_dwByteTimeout) != length) {
        Abandoned("module download");
        return snMainKernel;
    }
    const DWORD kernelEnd = m_target.GetMainKernelSize();
    if (length && address < kernelEnd) {
        m_target.Event(ekViolation, "module download to H'%04lX + %lu overwrites the main kernel (H'0000 - H'%04lX); the "
                       "kernel stops answering",
                       UL(address), UL(length), UL(kernelEnd - 1));
        return snHalt;
    }
    const DWORD ram = m_target.Model().GetRAMSize();
    if (address + length > WorkAreaStart())
        m_target.Event(ekViolation, "module download to H'%04lX + %lu reaches into the kernel's work area (from H'%04lX)",
                       UL(address), UL(length), UL(WorkAreaStart()));
    const DWORD stored = address >= ram ? 0 : std::min(length, ram - address);
    m_target.Model().WriteRAM(address, code.data(), stored);
    for (int entry = 0; entry < 4; ++entry) {
        const CSimKernelFile& file = m_target.Module(entry);
        if (file.IsLoaded() && file.Matches(code.data(), code.size(), nullptr)) {
            m_target.Event(ekNote, "%s module '%s' placed at H'%04lX (%lu bytes)", EntryName(entry),
                           file.GetPath().GetString(), UL(address), UL(length));
            return snMainKernel;
        }
    }
    // Name the module it was most likely meant to be.
    CString detail;
    for (int entry = 0; entry < 4 && detail.IsEmpty(); ++entry) {
        const CSimKernelFile& file = m_target.Module(entry);
        if (file.IsLoaded() && file.GetSize() == length)
            file.Matches(code.data(), code.size(), &detail);
    }
    m_target.Event(ekViolation, "module download to H'%04lX (%lu bytes) is none of the module files%s%s", UL(address),
                   UL(length), detail.IsEmpty() ? "" : ": it ", detail.GetString());
    return snMainKernel;
}

void CSimMainKernel::FunctionMap()
{
    Phase(phFunctionMap);
    BYTE size = 0;
    if (!Rx(&size, m_def.m_dwByteTimeout)) {
        Abandoned("function map");
        return;
    }
    if ((size & 1) || size > 12)
        m_target.Event(ekViolation, "function map size byte %u is not an even number up to 12", size);
    const int count = std::min(size / 2, 6);
    WORD map[6] = {0, 0, 0, 0, 0, 0};
    DWORD v = 0, bufferAddress = 0, bufferSize = 0;
    for (int i = 0; i < count; ++i) {
        if (!RxNumber(2, &v, m_def.m_dwByteTimeout)) {
            Abandoned("function map");
            return;
        }
        map[i] = static_cast<WORD>(v);
    }
    if (!RxNumber(2, &bufferAddress, m_def.m_dwByteTimeout) || !RxNumber(2, &bufferSize, m_def.m_dwByteTimeout)) {
        Abandoned("function map");
        return;
    }
    std::copy(map, map + 6, m_Map);
    m_nMapCount = count;
    m_wBufferAddress = static_cast<WORD>(bufferAddress);
    m_wBufferSize = static_cast<WORD>(bufferSize);
    m_target.Event(ekNote, "function map: write H'%04X, erase H'%04X, read H'%04X, check blank H'%04X (%d entries); "
                   "buffer H'%04X + %lu",
                   map[0], map[1], map[2], map[3], count, m_wBufferAddress, UL(bufferSize));

    const DWORD bufferEnd = bufferAddress + bufferSize;
    if (bufferAddress < m_target.GetMainKernelSize())
        m_target.Event(ekViolation, "the data buffer at H'%04lX overlaps the main kernel", UL(bufferAddress));
    if (bufferEnd > WorkAreaStart())
        m_target.Event(ekViolation, "the data buffer H'%04lX + %lu reaches into the kernel's work area (from H'%04lX)",
                       UL(bufferAddress), UL(bufferSize), UL(WorkAreaStart()));
    const DWORD line = LineSize();
    if (bufferSize % line != 0)
        m_target.Event(ekViolation, "the data buffer size %lu is not a multiple of the line size %lu", UL(bufferSize),
                       UL(line));
    for (int entry = 0; entry < 4 && entry < count; ++entry) {
        const DWORD from = map[entry];
        const DWORD to = from + m_target.Module(entry).GetSize();
        if (from != 0 && from < bufferEnd && bufferAddress < to)
            m_target.Event(ekViolation, "the data buffer overlaps the %s module at H'%04lX", EntryName(entry), UL(from));
    }
}

eSimNext CSimMainKernel::EndOfConnection()
{
    Phase(phEndOfConnection);
    BYTE how = 0;
    if (!Rx(&how, m_def.m_dwByteTimeout)) {
        Abandoned("end of connection");
        return snMainKernel;
    }
    if (how == 0x55) {
        m_target.Event(ekNote, "end of connection with reset: the chip restarts");
        return snRestart;
    }
    if (how != 0x00)
        m_target.Event(ekViolation, "end of connection with H'%02X, neither 00 nor 55: no reset", how);
    m_target.Event(ekNote, "end of connection; the kernel keeps running");
    return snMainKernel;
}
