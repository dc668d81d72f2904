// The classic protocol against a bare CFLASHProtocolDevice: what it asks of
// the device, and when, with no CFLASHDevice behind it.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "TestSupport.h"
#include "protocol/DeviceID.h"
#include "protocol/FLASHProtocol.h"
#include "protocol/FakeComms.h"

using namespace zftest;

namespace {

class CRecordingDevice : public CFLASHProtocolDevice
{
public:
    // Bit fields 0x04: two-byte address fields, no erase block registers.
    CRecordingDevice() { m_ID.GetBitFields().SetLowByte(0x04); }

    CFLASHDeviceID* GetDeviceID() const override { return &m_ID; }
    DWORD GetBufferSize() const override { return bufferSize; }
    bool ManageFunctionMap(eFLASHFunction) override
    {
        ADD_FAILURE() << "the classic protocol places no module";
        return true;
    }
    void OnWriteBlock(unsigned long address, unsigned long length) override { blocks.emplace_back(address, length); }
    void MarkWrongKernel() override { ADD_FAILURE() << "no identity was asked for"; }

    CFakeComms comms;
    DWORD bufferSize = 4;
    std::vector<std::pair<unsigned long, unsigned long>> blocks;

private:
    mutable CFLASHDeviceID m_ID;
};

TEST(ProtocolDevice, ClassicWriteHandsEachChunkToTheDevice)
{
    using Blocks = std::vector<std::pair<unsigned long, unsigned long>>;
    struct Case
    {
        DWORD bufferSize;
        unsigned long length;
        bool ok;
        Blocks blocks;
    };
    const Case cases[] = {
        {4, 10, true, {{0x1000, 4}, {0x1004, 4}, {0x1008, 2}}},
        {16, 10, true, {{0x1000, 10}}},
        {0, 10, false, {}}, // no buffer: nothing is sent
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bufferSize);
        ScopedSettings settings;
        RecordingHost host;
        CRecordingDevice device;
        device.bufferSize = c.bufferSize;
        for (size_t i = 0; i < c.blocks.size(); ++i)
            device.comms.Reply({i % 2 ? 0x10 : 0x00});
        device.comms.Reply({0x00});
        CFLASHProtocol protocol(&device, &device.comms);
        std::vector<BYTE> data(c.length);
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<BYTE>(0xA0 + i);

        EXPECT_EQ(protocol.WriteVerifyFLASHData(0x1000, c.length, data.data(), 0, 0), c.ok);
        EXPECT_EQ(device.blocks, c.blocks);
        std::vector<BYTE> expected;
        if (c.ok) {
            expected = {0x22, 0x0A, 0x10, 0x00};
            size_t at = 0;
            for (const auto& block : c.blocks) {
                expected.insert(expected.end(), data.begin() + static_cast<long>(at),
                                data.begin() + static_cast<long>(at + block.second));
                expected.push_back(0x01);
                at += block.second;
            }
        }
        EXPECT_EQ(device.comms.written, expected);
    }
}

} // namespace
