#pragma once
// What the tool asks of a device definition before any port is opened. The
// library reads whatever a file says, taking 0 for a value it cannot read;
// here a value that cannot be right (a size that is not a positive number,
// erase blocks out of order, overlapping or beyond the FLASH, an unknown
// protocol) and a kernel or module file that cannot be read are refused, with
// the key and the value named.
#include <string>

class CDeviceInfo;

class CDefinitionCheck
{
public:
    // path: the definition file; info: what the library read from it.
    static bool Check(const std::string& path, const CDeviceInfo& info, std::string* pError);
    // Why a path cannot serve as a file to read ("a folder", "missing", ...); empty when it can.
    static std::string WhyNotReadable(const std::string& path);
};
