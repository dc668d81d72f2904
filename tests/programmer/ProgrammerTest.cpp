// The manager and the programmer without a target: set-up, the setters that
// rebuild parts, the texts and rate lists, and the paths that fail early.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "TestSupport.h"
#include "comms/FLASHJTAGComms.h"
#include "device/FLASH1KDevice.h"
#include "protocol/ScriptedDevice.h"
#include "interface/FLASHGENInterface.h"
#include "interface/FLASHKivuInterface.h"
#include "programmer/FLASHManager.h"
#include "programmer/OTPConfig.h"

using namespace zftest;

namespace {

class ProgrammerSetUp : public ::testing::Test
{
protected:
    std::unique_ptr<CFLASHProgrammer> Make(eConnectionType type, const char* device = "ZT21F064")
    {
        const std::string definition = zftest::SourcePath("devices/" + std::string(device) + ".ini");
        return std::unique_ptr<CFLASHProgrammer>(FLASHManager.CreateFLASHProgrammer(
            device, "/dev/zflash-no-such-port", type, ptEraseAutomatically, mlAdvanced, "", 0, 16.0f, 2, 3, 1,
            definition.c_str()));
    }
    bool Shown(const std::string& text, WORD id = 0) const { return zftest::Shown(host, text, id); }

    RecordingHost host;
    ScopedSettings settings;
    TempDir dir;
};

} // namespace

TEST_F(ProgrammerSetUp, TheManagerAppliesEverySettingOrMakesNothing)
{
    EXPECT_EQ(FLASHManager.CreateFLASHProgrammer("X", "/dev/null", ctGENBootMode, ptNeverErase, mlNormal, "", 0, 0, 0,
                                                 0, 0, dir.File("missing.ini").c_str()),
              nullptr);

    auto p = Make(ctGENBootMode);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetProtectionType(), ptEraseAutomatically);
    EXPECT_EQ(p->GetMessageLevel(), mlAdvanced);
    EXPECT_TRUE(p->IsAdvancedUser());
    EXPECT_FLOAT_EQ(p->GetFrequency(), 1600.0f);
    EXPECT_EQ(p->GetCKPDivisor(), 2);
    EXPECT_EQ(p->GetCKMDivisor(), 3);
    EXPECT_EQ(p->GetBaudRate(), 38400);
    EXPECT_NE(dynamic_cast<CFLASHGENInterface*>(p->GetFLASHInterface()), nullptr);
    EXPECT_EQ(p->GetProgressString(), "Not Connected");
    EXPECT_EQ(dynamic_cast<CFLASH1KDevice*>(p->GetFLASHDevice()), nullptr);
    // A main-function overlay asks for the one-program device, except for the generic device.
    EXPECT_NE(dynamic_cast<CFLASH1KDevice*>(Make(ctGENBootMode, "ZT10F016")->GetFLASHDevice()), nullptr);
}

TEST_F(ProgrammerSetUp, SettersRebuildOnlyWhatChanged)
{
    auto p = Make(ctGENUserMode);
    CFLASHInterface* before = p->GetFLASHInterface();
    ASSERT_NE(before, nullptr);
    p->SetConnectionType(ctGENUserMode);
    EXPECT_EQ(p->GetFLASHInterface(), before);
    p->SetConnectionType(ctGENBootDirect);
    EXPECT_EQ(p->GetFLASHInterface(), nullptr);
    p->SetConnectionType(ctGENUserDirect);
    EXPECT_EQ(p->GetFLASHInterface(), nullptr);

    p->SetConnectionType(ctKivuBootDirect);
    EXPECT_NE(dynamic_cast<CFLASHKivuInterface*>(p->GetFLASHInterface()), nullptr);

    // A serial name on a serial channel only renames it; the adapter's name swaps the channel.
    CFLASHComms* comms = p->GetFLASHComms();
    p->SetCommsPort("/dev/zflash-other");
    EXPECT_EQ(p->GetFLASHComms(), comms);
    EXPECT_STREQ(comms->GetPortName(), "/dev/zflash-other");
    p->SetCommsPort("Quarn Pelto");
    EXPECT_NE(dynamic_cast<CFLASHJTAGComms*>(p->GetFLASHComms()), nullptr);
    p->SetCommsPort("/dev/zflash-back");
    EXPECT_EQ(dynamic_cast<CFLASHJTAGComms*>(p->GetFLASHComms()), nullptr);
    EXPECT_STREQ(p->GetFLASHComms()->GetPortName(), "/dev/zflash-back");

    p->SetProtocol(1);
    EXPECT_EQ(p->GetFLASHDevice()->GetProtocol(), 1);
    EXPECT_EQ(p->GetDeviceInfo()->m_nProtocol, 1);

    // Made back to back, most likely in one millisecond: the index tells them apart.
    auto q = Make(ctGENBootDirect);
    EXPECT_NE(p->GetMutexName(), q->GetMutexName());
}

TEST(ProgrammerTexts, BoardSearchRates)
{
    long rates[16];
    ASSERT_EQ(CFLASHProgrammer::BoardSearchRates(9600, rates, 16), 8);
    EXPECT_EQ(std::vector<long>(rates, rates + 8),
              (std::vector<long>{9600, 115200, 57600, 38400, 19200, 4800, 2400, 1200}));
    ASSERT_EQ(CFLASHProgrammer::BoardSearchRates(14400, rates, 16), 9);
    EXPECT_EQ(std::vector<long>(rates, rates + 2), (std::vector<long>{14400, 115200}));
    EXPECT_EQ(CFLASHProgrammer::BoardSearchRates(0, rates, 16), 8);
    EXPECT_EQ(rates[0], 115200);
}

TEST_F(ProgrammerSetUp, APortThatDoesNotOpenFailsTheConnection)
{
    auto p = Make(ctGENBootDirect);
    EXPECT_FALSE(p->Connect());
    EXPECT_TRUE(Shown("Unable to open comms", 15026));
    EXPECT_FALSE(p->IsConnected());
    EXPECT_EQ(p->GetProgressString(), "Unable to open comms");
    // Nothing runs, so Cancel returns at once and leaves no flag behind.
    p->Cancel();
    EXPECT_FALSE(p->GetCancelFlag());
    bool blank = false;
    EXPECT_FALSE(p->BlankCheck(&blank));
    EXPECT_EQ(p->ReadImage(0, nullptr, 0, 16), nullptr);
}

TEST_F(ProgrammerSetUp, AFailedJobIsLoggedAndNeverReportsSuccess)
{
    auto p = Make(ctGENBootDirect);
    CFLASHBinaryImage image(65536, nullptr);
    COTPConfig config(dir.File("job.log").c_str(), "", "Ann", false);
    EXPECT_FALSE(p->OTPWriteFLASH(&image, &config));
    const std::string stars(80, '*');
    EXPECT_EQ(ReadAll(dir.File("job.log")), stars + "\r\n" + stars + "\r\nOperator Name : Ann\r\nResult : FLASH Programming Failed.\r\n\r\n\r\n");
    EXPECT_FALSE(Shown("OTP operation completed successfully"));

    // A log in a folder that cannot exist: reported, the job still runs.
    std::ofstream(dir.File("plain")) << "x";
    COTPConfig nowhere(dir.File("plain/job.log").c_str(), "42", "", true);
    EXPECT_FALSE(p->OTPWriteFLASH(&image, &nowhere));
    EXPECT_TRUE(Shown("Unable to open log file"));
    EXPECT_TRUE(Shown("Unable to open comms", 15026));
}

