#include "platform/SettingsKeys.h"

namespace Settings {
namespace {
constexpr SSettingInt kIntegers[] = {
    SleepOnWrite, SleepTime, SleepCount, ChangeBaudRateTwice, GeneralMultiplier, EraseTimeout,
    CheckBlankTimeout, WriteTimeout, MaxTargetBufferSize, UseSingleByteWrites, IgnoreHandshake, FFThreshold,
    UseThreshold, ReadbackVerify, KivuCancelOnModeSwitch, DisconnectReset, PreVelkUserModeCommandBaud,
    PreVelkUserModePostCommandDelay, FullResetTarget, VppBefore12V, JTAGExtraLong, JTAGLong, JTAGDefault,
    JTAGQuick, JTAGSuperQuick, JTAGMudriTimeout, JTAGInternalTimeout,
};
constexpr SSettingText kTexts[] = {DummyBaudRate, PreVelkUserModeCommand, KivuSerial};
} // namespace

std::span<const SSettingInt> AllIntegers() { return kIntegers; }
std::span<const SSettingText> AllTexts() { return kTexts; }
} // namespace Settings
