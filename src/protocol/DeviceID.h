#pragma once
// What a running main kernel says about itself (its 7-byte identity reply,
// handshake byte and, for USER-mode kernels, the top of the RAM it leaves),
// and the identifier the library gives each kernel it starts.
#include <atomic>

#include "platform/Types.h"
#include "platform/WireFormat.h"

// One 32-bit word of bit fields; the kernel fills only its low byte.
//   bits 0-1  erase-block-register bytes sent with an erase command (E)
//   bits 2-3  width of classic address and size fields, minus one (W - 1)
//   bit  6    set: a USER-mode kernel answered; clear: a BOOT-mode kernel
// Bits 4-5 and 7 are kept but mean nothing to the library.
class DeviceIDBitFields
{
public:
    DeviceIDBitFields() = default;
    explicit DeviceIDBitFields(DWORD dwValue) : m_dwValue(dwValue) {}

    DWORD GetValue() const { return m_dwValue; }
    void SetValue(DWORD dwValue) { m_dwValue = dwValue; }
    BYTE GetLowByte() const { return static_cast<BYTE>(m_dwValue); }
    // Replaces the low byte only, as the identity reply does.
    void SetLowByte(BYTE by) { m_dwValue = (m_dwValue & ~0xFFu) | by; }

    // E: 0 to 3.
    int GetEraseRegisterCount() const { return static_cast<int>(m_dwValue & 0x03u); }
    // W: 1 to 4 bytes.
    int GetFieldWidth() const { return static_cast<int>((m_dwValue >> 2) & 0x03u) + 1; }
    // nWidth 1 to 4; other values are clamped into that range.
    void SetFieldWidth(int nWidth);
    bool IsUserModeKernel() const { return (m_dwValue & 0x40u) != 0; }

    // The low W bytes of dwValue, most significant first, into pOut (room for 4);
    // returns W.
    int EncodeField(DWORD dwValue, BYTE* pOut) const;

    friend bool operator==(const DeviceIDBitFields&, const DeviceIDBitFields&) = default;

private:
    DWORD m_dwValue = 0;
};

class CFLASHDeviceID
{
public:
    static constexpr int kReplySize = 7;

    CFLASHDeviceID() = default;
    CFLASHDeviceID(const CFLASHDeviceID&) = default;
    CFLASHDeviceID& operator=(const CFLASHDeviceID&) = default;
    // Held through this type also for the USER-mode record.
    virtual ~CFLASHDeviceID() = default;

    // Reply bytes 0-1 to the kernel word as received, 2-3 to the line size and
    // 4-5 to the work area (first byte low-order), byte 6 to the bit fields' low byte.
    void LoadReply(const BYTE* pReply);

    const BYTE* GetKernelWord() const { return m_byKernelWord; }
    WORD GetLineSize() const { return m_wLineSize; }
    void SetLineSize(WORD w) { m_wLineSize = w; }
    WORD GetKernelWorkArea() const { return m_wKernelWorkArea; }
    void SetKernelWorkArea(WORD w) { m_wKernelWorkArea = w; }
    DeviceIDBitFields& GetBitFields() { return m_BitFields; }
    const DeviceIDBitFields& GetBitFields() const { return m_BitFields; }
    BYTE GetHandshake() const { return m_byHandshake; }
    void SetHandshake(BYTE by) { m_byHandshake = by; }

    // Classic command field widths taken from the bit fields.
    int GetFieldWidth() const { return m_BitFields.GetFieldWidth(); }
    int GetEraseRegisterCount() const { return m_BitFields.GetEraseRegisterCount(); }

private:
    BYTE m_byKernelWord[2] = {};
    WORD m_wLineSize = 0;
    WORD m_wKernelWorkArea = 0;
    DeviceIDBitFields m_BitFields;
    BYTE m_byHandshake = 0;
};

class CFLASHUserModeDeviceID : public CFLASHDeviceID
{
public:
    CFLASHUserModeDeviceID() = default;
    CFLASHUserModeDeviceID(const CFLASHUserModeDeviceID&) = default;
    CFLASHUserModeDeviceID& operator=(const CFLASHUserModeDeviceID&) = default;
    ~CFLASHUserModeDeviceID() override = default;

    // The two bytes after the identity reply, as one big-endian value.
    void LoadRAMTop(const BYTE* pBytes) { m_wRAMTop = static_cast<WORD>(WireFormat::GetBigEndian(pBytes, 2)); }
    WORD GetRAMTop() const { return m_wRAMTop; }
    void SetRAMTop(WORD w) { m_wRAMTop = w; }

private:
    WORD m_wRAMTop = 0;
};

// The class-wide counter behind each started kernel's identifier: 0 when the
// library loads; every kernel initialisation takes the next value, 255 wrapping to 0.
class CFLASHUniqueIDCounter
{
public:
    // Increments and returns the new value.
    BYTE Next() { return static_cast<BYTE>(m_byValue.fetch_add(1) + 1); }
    BYTE Current() const { return m_byValue.load(); }
    void Reset(BYTE by = 0) { m_byValue.store(by); }

private:
    std::atomic<BYTE> m_byValue{0};
};
