#include <gtest/gtest.h>

#include <cerrno>

#include "comms/SerialLine.h"

TEST(SerialLine, PortNamesMapToDevicePaths)
{
    EXPECT_EQ(SerialLine::MapPortName("COM1"), "/dev/ttyS0");
    EXPECT_EQ(SerialLine::MapPortName("com12:"), "/dev/ttyS11");
    EXPECT_EQ(SerialLine::MapPortName("\\\\.\\COM3"), "/dev/ttyS2");
    EXPECT_EQ(SerialLine::MapPortName(" ttyUSB0 "), "/dev/ttyUSB0");
    EXPECT_EQ(SerialLine::MapPortName("/dev/serial/by-id/usb-x"), "/dev/serial/by-id/usb-x");
    EXPECT_EQ(SerialLine::MapPortName("COM0"), "/dev/COM0");   // no such COM port: taken as a name
    EXPECT_EQ(SerialLine::MapPortName("COM1x"), "/dev/COM1x");
    EXPECT_EQ(SerialLine::MapPortName(""), "");
}

TEST(SerialLine, SettingsTextsBuildALineRecord)
{
    DCB dcb{};
    ASSERT_TRUE(SerialLine::BuildDCB("9600, n, 8, 1", dcb));
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);

    ASSERT_TRUE(SerialLine::BuildDCB("COM2: 300,E,7,1.5,p", dcb));
    EXPECT_EQ(dcb.BaudRate, 300u);
    EXPECT_EQ(dcb.Parity, EVENPARITY);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.StopBits, ONE5STOPBITS);
    EXPECT_TRUE(dcb.fOutxCtsFlow);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);

    ASSERT_TRUE(SerialLine::BuildDCB("115200", dcb)); // the rest defaults to n, 8, 1
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_FALSE(dcb.fOutxCtsFlow);

    for (const char* bad : {"", " , n, 8, 1", "-9600,n,8,1", "4294967296,n,8,1", "9600,none,8,1", "9600,n,4,1",
                            "9600,n,8,3", "9600,n,8,1,z", "9600,n,8,1,x,extra"}) {
        DCB untouched{};
        untouched.BaudRate = 1234;
        errno = 0;
        EXPECT_FALSE(SerialLine::BuildDCB(bad, untouched)) << bad;
        EXPECT_EQ(errno, EINVAL) << bad;
        EXPECT_EQ(untouched.BaudRate, 1234u) << bad;
    }
    EXPECT_EQ(sizeof(DCB), 28u); // the record's length field says so
}
