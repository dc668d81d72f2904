#pragma once
// The device as its protocol sees it: the few things a protocol asks of the
// device it speaks for in the middle of a command. The device implements it,
// so the protocols need nothing of the device's own class.
#include "platform/Types.h"
#include "protocol/FunctionMap.h"

class CFLASHDeviceID;

class CFLASHProtocolDevice
{
public:
    // Identity record of the kernel the protocol was made for; null before one started.
    virtual CFLASHDeviceID* GetDeviceID() const = 0;
    virtual DWORD GetBufferSize() const = 0;
    // Places the module for a function (a 1K device sends it mid-command).
    virtual bool ManageFunctionMap(eFLASHFunction function) = 0;
    // Each chunk handed to the kernel for writing.
    virtual void OnWriteBlock(unsigned long address, unsigned long length) = 0;
    // A kernel of the other mode answered the identity request.
    virtual void MarkWrongKernel() = 0;

protected:
    CFLASHProtocolDevice() = default;
    CFLASHProtocolDevice(const CFLASHProtocolDevice&) = default;
    CFLASHProtocolDevice& operator=(const CFLASHProtocolDevice&) = default;
    // Never deleted through this type; virtual so that no implementer needs its own.
    virtual ~CFLASHProtocolDevice() = default;
};
