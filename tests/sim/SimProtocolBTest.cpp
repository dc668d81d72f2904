// The Protocol B boot program walked frame by frame by a scripted host: the
// new-bit-rate command and its checks, the inquiries, the main kernel and
// module downloads, erase by block number, line writes, reads, the blank
// check, every sum check and the refusals.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

using namespace simtest;

namespace {
using Bytes = std::vector<BYTE>;

// ZT52F128 booted through its micro-kernel and waiting for Protocol B frames.
class ProtocolB : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(Boot({{"Byte Timeout", "200"}})); }

    void Boot(const CSimOverrides& overrides)
    {
        ASSERT_TRUE(run.Start(DevicePath("ZT52F128.ini"), overrides));
        ASSERT_EQ(run.host.Boot({9600}), 9600u);
        ASSERT_EQ(run.host.Acknowledge(), 0xAA);
        ASSERT_TRUE(run.host.DownloadEchoed(ReadFile(DevicePath("kernels/zt52/zt52_ukernel.bin"))));
        ASSERT_TRUE(run.target.WaitForState(ssProtocolB, 5000));
    }

    Bytes Ask(const Bytes& frame, std::size_t replyBytes)
    {
        run.host.Send(frame);
        return run.host.Receive(replyBytes, 3000);
    }

    // 0x40 or 0x43/0x48: the request, then length, code and sum; both answers.
    Bytes Download(BYTE request, const Bytes& code)
    {
        Bytes answers = Ask({request}, 1);
        Bytes body = {static_cast<BYTE>(code.size() >> 24), static_cast<BYTE>(code.size() >> 16),
                      static_cast<BYTE>(code.size() >> 8), static_cast<BYTE>(code.size())};
        body.insert(body.end(), code.begin(), code.end());
        const Bytes r = Ask(CScriptedHost::Framed(body), 1);
        answers.insert(answers.end(), r.begin(), r.end());
        return answers;
    }

    Bytes WriteLine(DWORD address, const Bytes& data, std::size_t replyBytes = 1)
    {
        Bytes frame = {0x50, static_cast<BYTE>(address >> 24), static_cast<BYTE>(address >> 16),
                       static_cast<BYTE>(address >> 8), static_cast<BYTE>(address)};
        frame.insert(frame.end(), data.begin(), data.end());
        return Ask(CScriptedHost::Framed(frame), replyBytes);
    }

    Bytes ReadFrame(DWORD start, DWORD length, BYTE area = 0)
    {
        return CScriptedHost::Framed({0x52, 0x09, area, static_cast<BYTE>(start >> 24), static_cast<BYTE>(start >> 16),
                                      static_cast<BYTE>(start >> 8), static_cast<BYTE>(start),
                                      static_cast<BYTE>(length >> 24), static_cast<BYTE>(length >> 16),
                                      static_cast<BYTE>(length >> 8), static_cast<BYTE>(length)});
    }

    BYTE Status() { return Ask({0x4F}, 5).at(2); }

    CSimRun run;
    const Bytes mainKernel = ReadFile(DevicePath("kernels/zt52/zt52_main.bin"));
    const Bytes writeModule = ReadFile(DevicePath("kernels/zt52/zt52_write.bin"));
    const Bytes eraseModule = ReadFile(DevicePath("kernels/zt52/zt52_erase.bin"));
};
} // namespace

TEST_F(ProtocolB, NewBitRateChecksItsFrameThenMovesTheLine)
{
    // 115200 baud, 16.00 MHz, system x4, peripheral x4.
    const Bytes good = CScriptedHost::Framed({0x3F, 0x07, 0x04, 0x80, 0x06, 0x40, 0x02, 0x04, 0x04});
    Bytes bad = good;
    bad.back() ^= 0x01;
    EXPECT_EQ(Ask(bad, 2), (Bytes{0xBF, 0x11}));
    EXPECT_EQ(Ask(CScriptedHost::Framed({0x3F, 0x07, 0x04, 0x80, 0x07, 0xD0, 0x02, 0x04, 0x04}), 2),
              (Bytes{0xBF, 0x25})); // 20 MHz is not this chip's clock
    EXPECT_EQ(Ask(CScriptedHost::Framed({0x3F, 0x07, 0x04, 0x80, 0x06, 0x40, 0x02, 0x03, 0x01}), 2), (Bytes{0xBF, 0x26}));
    EXPECT_EQ(Ask(CScriptedHost::Framed({0x3F, 0x07, 0x04, 0x80, 0x06, 0x40, 0x02, 0x01, 0x02}), 2), (Bytes{0xBF, 0x27}));
    // x1: 16 MHz makes no register value for 115200.
    EXPECT_EQ(Ask(CScriptedHost::Framed({0x3F, 0x07, 0x04, 0x80, 0x06, 0x40, 0x02, 0x01, 0x01}), 2), (Bytes{0xBF, 0x24}));
    EXPECT_EQ(run.target.GetTargetRate(), 9600u);

    // A confirmation that does not come through intact puts the old rate back.
    EXPECT_EQ(Ask(good, 1), Bytes{0x06});
    ASSERT_TRUE(run.host.SetRate(38400));
    run.host.Send(0x06);
    EXPECT_TRUE(run.host.Silent());
    EXPECT_EQ(run.target.GetTargetRate(), 9600u);

    ASSERT_TRUE(run.host.SetRate(9600));
    EXPECT_EQ(Ask(good, 1), Bytes{0x06});
    ASSERT_TRUE(run.host.SetRate(115200));
    EXPECT_EQ(Ask({0x06}, 1), Bytes{0x06});
    EXPECT_EQ(run.target.GetTargetRate(), 117647u);
    // Line size 128, high byte first, and a sum that closes the answer.
    EXPECT_EQ(Ask({0x27}, 5), (Bytes{0x37, 0x02, 0x00, 0x80, 0x47}));
    EXPECT_EQ(Ask({0x4F}, 5), (Bytes{0x5F, 0x02, 0x00, 0x00, 0x9F}));
    EXPECT_NE(run.Events(ekViolation).find("does not close the frame (H'E6 was due)"), std::string::npos);
}

TEST_F(ProtocolB, ModulesDecideWhatMayRunAndBlocksGoByNumber)
{
    EXPECT_EQ(Ask({0x43}, 2), (Bytes{0xC3, 0x54})); // no main kernel yet
    EXPECT_EQ(Download(0x40, mainKernel), (Bytes{0x06, 0x06}));
    EXPECT_EQ(Status(), 0x01);

    const Bytes eraseEB1 = CScriptedHost::Framed({0x58, 0x01, 0x01});
    EXPECT_EQ(Ask(eraseEB1, 2), (Bytes{0xD8, 0x54}));
    EXPECT_EQ(Download(0x48, eraseModule), (Bytes{0x06, 0x06}));
    EXPECT_EQ(Status(), 0x02);
    ASSERT_TRUE(run.target.LoadFLASH(0x1000, Bytes(16, 0x00)));
    EXPECT_EQ(Ask({0x4D}, 2), (Bytes{0xCD, 0x52}));
    EXPECT_EQ(Ask(eraseEB1, 1), Bytes{0x06});
    EXPECT_EQ(Ask(CScriptedHost::Framed({0x58, 0x01, 0x0B}), 2), (Bytes{0xD8, 0x29})); // there is no EB11
    EXPECT_EQ(Ask({0x58, 0x01, 0x0A, 0x00}, 2), (Bytes{0xD8, 0x11}));
    EXPECT_EQ(Ask({0x58, 0x01, 0xFF, 0xA8}, 1), Bytes{0x06});
    EXPECT_EQ(run.target.GetEraseCounts()[1], 1u);
    EXPECT_EQ(Ask({0x4D}, 1), Bytes{0x06});

    const Bytes line = Pattern(128, 0x21);
    EXPECT_EQ(WriteLine(0x2000, line, 2), (Bytes{0xD0, 0x54})); // the erase module is in place, not the write module
    // A module with a bad sum is refused and leaves the status alone.
    Bytes frame = {0x00, 0x00, 0x02, 0x00};
    frame.insert(frame.end(), writeModule.begin(), writeModule.end());
    frame = CScriptedHost::Framed(frame);
    frame.back() ^= 0x80;
    EXPECT_EQ(Ask({0x43}, 1), Bytes{0x06});
    EXPECT_EQ(Ask(frame, 2), (Bytes{0xC3, 0x11}));
    EXPECT_EQ(Status(), 0x02);
    // The erase module sent as the write module is taken but runs nothing.
    EXPECT_EQ(Download(0x43, eraseModule), (Bytes{0x06, 0x06}));
    EXPECT_EQ(Status(), 0x01);
    EXPECT_EQ(Download(0x43, writeModule), (Bytes{0x06, 0x06}));
    EXPECT_EQ(Status(), 0x04);

    EXPECT_EQ(WriteLine(0x2000, line), Bytes{0x06});
    EXPECT_EQ(WriteLine(0x2040, line, 2), (Bytes{0xD0, 0x28})); // not on a line
    EXPECT_EQ(WriteLine(0x20000, line, 2), (Bytes{0xD0, 0x28}));
    // A short last line is taken once its bytes stop, the rest as H'FF.
    EXPECT_EQ(WriteLine(0x2080, Bytes(line.begin(), line.begin() + 44)), Bytes{0x06});
    EXPECT_EQ(Ask(CScriptedHost::Framed({0x50, 0xFF, 0xFF, 0xFF, 0xFF}), 1), Bytes{0x06});
    const Bytes flash = run.target.GetFLASH();
    EXPECT_EQ(Bytes(flash.begin() + 0x2000, flash.begin() + 0x2080), line);
    EXPECT_EQ(Bytes(flash.begin() + 0x2080, flash.begin() + 0x20AC), Bytes(line.begin(), line.begin() + 44));
    EXPECT_EQ(flash[0x20AC], 0xFF);

    // Read: 0x52, the length, the data and a closing sum.
    Bytes expected = {0x52, 0x00, 0x00, 0x00, 0x90};
    expected.insert(expected.end(), flash.begin() + 0x1FF0, flash.begin() + 0x2080);
    expected = CScriptedHost::Framed(expected);
    EXPECT_EQ(Ask(ReadFrame(0x1FF0, 0x90), expected.size()), expected);
    EXPECT_EQ(Ask(ReadFrame(0x20000, 4), 2), (Bytes{0xD2, 0x2A}));
    EXPECT_EQ(Ask(ReadFrame(0x1FFF0, 0x20), 2), (Bytes{0xD2, 0x2B}));
    EXPECT_EQ(Ask(ReadFrame(0, 4, 1), 2), (Bytes{0xD2, 0x2A}));
    Bytes corrupt = ReadFrame(0, 4);
    corrupt[5] ^= 0x10;
    EXPECT_EQ(Ask(corrupt, 2), (Bytes{0xD2, 0x11}));

    const std::string violations = run.Events(ekViolation);
    EXPECT_NE(violations.find("a line of 44 bytes instead of 128"), std::string::npos) << violations;
    EXPECT_NE(violations.find("the write module download is not the file"), std::string::npos) << violations;
    EXPECT_NE(run.Events(ekRefusal).find("write refused: the write module is not in place (status H'02)"),
              std::string::npos);
}

TEST_F(ProtocolB, InjectedFaultsAndAForeignKernel)
{
    CSimFaults faults = run.target.GetFaults();
    faults.m_dwFailErase = 1;
    faults.m_dwFailWrite = 2;
    faults.m_dwFailStatus = 2;
    run.target.SetFaults(faults);
    EXPECT_EQ(Download(0x40, mainKernel), (Bytes{0x06, 0x06}));
    EXPECT_EQ(Download(0x48, eraseModule), (Bytes{0x06, 0x06}));
    EXPECT_EQ(Ask({0x4F}, 5), (Bytes{0x5F, 0x02, 0x02, 0x00, 0x9D}));
    EXPECT_EQ(Ask({0x4F}, 5).at(3), 0xFF);
    EXPECT_EQ(Ask(CScriptedHost::Framed({0x58, 0x01, 0x00}), 2), (Bytes{0xD8, 0x51}));
    EXPECT_EQ(Ask(CScriptedHost::Framed({0x58, 0x01, 0x00}), 1), Bytes{0x06});
    EXPECT_EQ(Download(0x43, writeModule), (Bytes{0x06, 0x06}));
    EXPECT_EQ(WriteLine(0, Pattern(128, 1)), Bytes{0x06});
    EXPECT_EQ(WriteLine(0x80, Pattern(128, 2), 2), (Bytes{0xD0, 0x53}));
    EXPECT_NE(run.Events(ekFault).find("erase 1 fails"), std::string::npos);

    // A main kernel that is not the file: acknowledged, then the chip is gone.
    Bytes other = mainKernel;
    other[2047] ^= 0x40;
    EXPECT_EQ(Download(0x40, other), (Bytes{0x06, 0x06}));
    EXPECT_TRUE(run.target.WaitForState(ssHalted, 5000));
    EXPECT_TRUE(Ask({0x27}, 5).empty());
}
