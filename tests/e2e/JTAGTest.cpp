// The JTAG channel over the simulated Pelto adapter: opening with its
// connection test, the adapter's faults, kernel bytes carried as words both
// ways, and the route to the board's serial link beside it.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TargetSession.h"
#include "comms/FLASHJTAGComms.h"
#include "interface/FLASHKivuInterface.h"
#include "sim/SimPelto.h"
#include "sim/SimTarget.h"

using namespace zftest;

namespace {

class CJTAGSession : public CShownChecks
{
public:
    ~CJTAGSession()
    {
        m_comms.Close();
        SetScanletBackend(nullptr);
        m_pPelto.reset();
        m_target.Stop();
    }

    ::testing::AssertionResult Start(CSimOverrides overrides)
    {
        CString error;
        if (!m_target.Load(CString(SourcePath("devices/ZT31F256.ini").c_str()), &error, overrides) || !m_target.Start(&error))
            return ::testing::AssertionFailure() << error.GetString();
        m_pPelto = std::make_shared<CSimPelto>(m_target);
        SetScanletBackend(m_pPelto);
        return ::testing::AssertionSuccess();
    }
    ScopedSettings m_settings{ScopedSettings::kVirtualTargetFactor};
    CSimTarget m_target;
    std::shared_ptr<CSimPelto> m_pPelto;
    CFLASHJTAGComms m_comms;
};

TEST(PeltoAdapter, OpensAndCarriesKernelBytesAsWordsBothWays)
{
    CJTAGSession s;
    ASSERT_TRUE(s.Start({{"Start Mode", "BOOT Resident"}, {"Handshake", "0x5A"}}));
    ASSERT_TRUE(s.m_target.WaitForState(ssMainKernel, 5000));
    ASSERT_TRUE(s.m_comms.Open());
    EXPECT_TRUE(s.m_pPelto->IsPortOpen());
    EXPECT_EQ(s.m_pPelto->GetClockInput(), 0); // no definition: clock input 0, divider 2
    EXPECT_EQ(s.m_pPelto->GetClockDivider(), 2);
    EXPECT_TRUE(s.m_pPelto->AreOutputsEnabled());
    EXPECT_EQ(s.m_pPelto->GetTestLogicResets(), 1);
    EXPECT_EQ(s.m_pPelto->GetScans(), 1);

    // The handshake command in one word; the kernel's two answers in a word each,
    // as the host reads them.
    const unsigned char command = 0x0A;
    ASSERT_TRUE(s.m_comms.WriteBytes(&command, 1, true));
    unsigned char answer[2] = {};
    ASSERT_TRUE(s.m_comms.ReadBytes(answer, 1, nullptr, true));
    ASSERT_TRUE(s.m_comms.ReadBytes(answer + 1, 1, nullptr, true));
    EXPECT_EQ(answer[0], 0x5A);
    EXPECT_EQ(answer[1], 0x00); // identifier of a resident kernel
    EXPECT_EQ(s.m_pPelto->GetWordsWritten(), 1u);
    EXPECT_EQ(s.m_pPelto->GetWordsRead(), 2u);

    // A field of six bytes takes two words, its two-byte tail swapped by the
    // channel and back by the kernel; each field's padding is dropped.
    const unsigned char module[] = {0x28, 0x00, 0x06, 0x0A, 0x00};
    const unsigned char code[] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    ASSERT_TRUE(s.m_comms.WriteBytes(module, 1, false) && s.m_comms.WriteBytes(module + 1, 2, false) &&
                s.m_comms.WriteBytes(module + 3, 2, false) && s.m_comms.WriteBytes(code, 6, false));
    EXPECT_EQ(s.m_pPelto->GetWordsWritten(), 6u);
    ASSERT_TRUE(s.m_comms.WriteBytes(&command, 1, false));
    ASSERT_TRUE(s.m_comms.ReadBytes(answer, 1, nullptr, false)); // the module is in place once the kernel answers
    DWORD diff = 0;
    EXPECT_TRUE(s.m_target.Model().RAMHolds(0x0A00, {std::begin(code), std::end(code)}, &diff)) << diff;
    ASSERT_TRUE(s.m_comms.ReadBytes(answer, 1, nullptr, false));

    // Nothing more to read: a read time-out with the channel's report.
    s.m_comms.SetTimeouts(ttSuperQuick);
    EXPECT_FALSE(s.m_comms.ReadBytes(answer, 1, nullptr, true));
    EXPECT_TRUE(s.Shown("'Quarn Pelto:' read time out", 15005));
    ASSERT_TRUE(s.m_comms.Close());
    EXPECT_FALSE(s.m_pPelto->IsPortOpen());
}

TEST(PeltoAdapter, ConnectionTestAndPortFailuresCloseTheChannel)
{
    {
        CJTAGSession s;
        ASSERT_TRUE(s.Start({{"Pelto Scan Result", "1005"}}));
        EXPECT_FALSE(s.m_comms.Open());
        EXPECT_TRUE(s.Shown("SCAN IR Failed!"));
        EXPECT_EQ(s.m_comms.GetStatus(), psClosed);
        EXPECT_EQ(s.m_pPelto->GetScans(), 1);
    }
    {
        CJTAGSession s;
        ASSERT_TRUE(s.Start({{"Pelto Port Unavailable", "1"}}));
        EXPECT_FALSE(s.m_comms.Open());
        EXPECT_TRUE(s.Shown("Quarn Pelto : the adapter's port is in use by another program"));
        EXPECT_TRUE(s.Shown("Unable to open JTAG comms"));
        EXPECT_EQ(s.m_pPelto->GetScans(), 0);
    }
}

TEST(PeltoAdapter, BoardStepsGoToTheBoardsSerialLink)
{
    CJTAGSession s;
    ASSERT_TRUE(s.Start({{"Kivu Board", "1"}, {"Kivu Firmware", "0x0102"}}));
    s.m_settings.Write("[FLASHJTAGComms]\nKivuSerial=" + s.m_target.GetPortName().str() + "\n");
    ASSERT_TRUE(s.m_comms.Open());
    ASSERT_TRUE(s.m_comms.UseAlternateComms(true, true));
    CFLASHKivuInterface board(&s.m_comms);
    unsigned short version = 0;
    ASSERT_TRUE(board.GetVersion(&version));
    EXPECT_EQ(version, 0x0102);
    EXPECT_EQ(board.GetBoardVariant(), 0u);
    EXPECT_EQ(s.m_pPelto->GetWordsWritten(), 0u); // nothing went over JTAG
}

} // namespace
