#pragma once
// Every key of the settings store with its section, root and default, so that
// readers and the documentation agree on one table.
#include <span>

#include "platform/Register.h"

struct SSettingInt
{
    const char* pszSection;
    const char* pszKey;
    unsigned nDefault;
    eRegisterRoot root = rrDefault;

    unsigned Read(CStatusUpdate* pWarnings = nullptr) const
    {
        return CRegister(root, pWarnings).GetProfileIntA(pszSection, pszKey, nDefault);
    }
    bool Write(unsigned nValue, CStatusUpdate* pWarnings = nullptr) const
    {
        return CRegister(root, pWarnings).WriteProfileInt(pszSection, pszKey, nValue);
    }
};

struct SSettingText
{
    const char* pszSection;
    const char* pszKey;
    const char* pszDefault;
    eRegisterRoot root = rrDefault;

    CString Read() const { return CRegister(root).GetProfileStringA(pszSection, pszKey, pszDefault); }
};

namespace Settings {
inline constexpr SSettingInt SleepOnWrite{"Serial", "SleepOnWrite", 0};
inline constexpr SSettingInt SleepTime{"Serial", "SleepTime", 0};
inline constexpr SSettingInt SleepCount{"Serial", "SleepCount", 1};
inline constexpr SSettingInt ChangeBaudRateTwice{"Serial", "ChangeBaudRateTwice", 0};
inline constexpr SSettingText DummyBaudRate{"Serial", "DummyBaudRate", "300"};
inline constexpr SSettingInt GeneralMultiplier{"Serial", "GeneralMultiplier", 1};
inline constexpr SSettingInt EraseTimeout{"Serial", "EraseTimeout", 30};
inline constexpr SSettingInt CheckBlankTimeout{"Serial", "CheckBlankTimeout", 10};
inline constexpr SSettingInt WriteTimeout{"Serial", "WriteTimeout", 10};
inline constexpr SSettingInt MaxTargetBufferSize{"Serial", "MaxTargetBufferSize", 1024};
inline constexpr SSettingInt UseSingleByteWrites{"Serial", "UseSingleByteWrites", 0};
inline constexpr SSettingInt IgnoreHandshake{"Device", "IgnoreHandshake", 0};
// 0 stands for "not set yet": the reader substitutes 8 and writes it back.
inline constexpr SSettingInt FFThreshold{"FBI", "ffThreshold", 0};
inline constexpr SSettingInt UseThreshold{"FBI", "bUseThreshold", 1};
inline constexpr SSettingInt ReadbackVerify{"Programmer", "ReadbackVerify", 0};
inline constexpr SSettingInt KivuCancelOnModeSwitch{"Programmer", "KivuCancelOnModeSwitch", 0};
inline constexpr SSettingInt DisconnectReset{"Programmer", "DisconnectReset", 0, rrCurrentUser};
inline constexpr SSettingText PreVelkUserModeCommand{"Direct Connection", "PreVelkUserModeCommand", ""};
inline constexpr SSettingInt PreVelkUserModeCommandBaud{"Direct Connection", "PreVelkUserModeCommandBaud", 9600};
inline constexpr SSettingInt PreVelkUserModePostCommandDelay{"Direct Connection", "PreVelkUserModePostCommandDelay", 0};
inline constexpr SSettingInt FullResetTarget{"Quarn Kivu", "FullResetTarget", 1};
inline constexpr SSettingInt VppBefore12V{"Quarn Kivu", "VppBefore12V", 0};
inline constexpr SSettingInt JTAGExtraLong{"FLASHJTAGComms", "ExtraLong", 7000};
inline constexpr SSettingInt JTAGLong{"FLASHJTAGComms", "Long", 2000};
inline constexpr SSettingInt JTAGDefault{"FLASHJTAGComms", "Default", 500};
inline constexpr SSettingInt JTAGQuick{"FLASHJTAGComms", "Quick", 200};
inline constexpr SSettingInt JTAGSuperQuick{"FLASHJTAGComms", "SuperQuick", 100};
inline constexpr SSettingInt JTAGMudriTimeout{"FLASHJTAGComms", "Mudri Timeout", 1};
inline constexpr SSettingInt JTAGInternalTimeout{"FLASHJTAGComms", "Internal Timeout", 86016};
inline constexpr SSettingText KivuSerial{"FLASHJTAGComms", "KivuSerial", "COM1"};

// The whole table, for documentation and checks.
std::span<const SSettingInt> AllIntegers();
std::span<const SSettingText> AllTexts();
} // namespace Settings
