#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "comms/SerialLine.h"

TEST(SerialLine, PortNamesMapToDevicePathsAndSettingsTextsBuildALineRecord)
{
    EXPECT_EQ(SerialLine::MapPortName("COM1"), "/dev/ttyS0");
    EXPECT_EQ(SerialLine::MapPortName("com12:"), "/dev/ttyS11");
    EXPECT_EQ(SerialLine::MapPortName("\\\\.\\COM3"), "/dev/ttyS2");
    EXPECT_EQ(SerialLine::MapPortName(" ttyUSB0 "), "/dev/ttyUSB0");
    EXPECT_EQ(SerialLine::MapPortName("/dev/serial/by-id/usb-x"), "/dev/serial/by-id/usb-x");
    EXPECT_EQ(SerialLine::MapPortName("COM0"), "/dev/COM0"); // not a COM port: taken as a name

    // Settings texts build a line record.
    DCB dcb{};
    // Rate, parity, data bits, stop bits, RTS control.
    const auto fields = [&dcb] {
        return std::vector<DWORD>{dcb.BaudRate, dcb.Parity, dcb.ByteSize, dcb.StopBits, dcb.fRtsControl};
    };
    ASSERT_TRUE(SerialLine::BuildDCB("COM2: 300,E,7,1.5,p", dcb));
    EXPECT_EQ(fields(), (std::vector<DWORD>{300, EVENPARITY, 7, ONE5STOPBITS, RTS_CONTROL_HANDSHAKE}));
    ASSERT_TRUE(SerialLine::BuildDCB("115200", dcb)); // the rest means n, 8, 1 without flow control
    EXPECT_EQ(fields(), (std::vector<DWORD>{115200, NOPARITY, 8, ONESTOPBIT, RTS_CONTROL_ENABLE}));

    for (const char* bad : {" , n, 8, 1", "-9600", "4294967296", "9600,none", "9600,n,4", "9600,n,8,3", "9600,n,8,1,z",
                            "9600,n,8,1,x,6"}) {
        errno = 0;
        EXPECT_FALSE(SerialLine::BuildDCB(bad, dcb)) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
        EXPECT_EQ(dcb.BaudRate, 115200u) << bad; // untouched
    }
}
