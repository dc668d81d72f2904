#pragma once
// The library's factory: initialised once by the host, it makes one
// programmer per connection from a device definition and the connection
// settings.
#include "platform/String.h"
#include "programmer/FLASHProgrammer.h"

class CFLASHManager
{
public:
    CFLASHManager() = default;
    CFLASHManager(const CFLASHManager& other) = default;
    CFLASHManager& operator=(const CFLASHManager& other) = default;

    // The argument is not consulted: the kernel folder is the executable's
    // folder followed by "Kernels". Always true.
    bool Initialise(CString unused);
    bool IsPeltoInstalled();
    // A new programmer owned by the caller, or null when the definition file
    // does not exist (nothing is created then).
    CFLASHProgrammer* CreateFLASHProgrammer(const CString& deviceName, const CString& portName,
                                            eConnectionType connectionType, eProtectionType protectionType,
                                            eMessageLevel messageLevel, const CString& kernelPath, long nProtocol,
                                            float fFrequency, int nCKPDivisor, int nCKMDivisor, int nClockMode,
                                            CString configFilePath);
    CString GetDBFilename() const { return m_strDBFilename; }

private:
    // Nothing in the library sets it; a host may copy a manager into this one.
    CString m_strDBFilename;
};

// The library's one manager, alive as long as the library.
extern CFLASHManager FLASHManager;
