// The JTAG channel over the simulated Pelto adapter: the adapter's faults at
// opening. Words both ways run in the board road over JTAG (BoardConnectTest)
// and through the adapter socket (PeltoSocketTest).
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TargetSession.h"
#include "comms/FLASHJTAGComms.h"
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

} // namespace
