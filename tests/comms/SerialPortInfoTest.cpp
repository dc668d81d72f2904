#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "comms/SerialPortInfo.h"

namespace fs = std::filesystem;

TEST(CSerialPortInfo, ListsPortsWithWhatTheSystemKnows)
{
    // A small copy of the kernel's tty class.
    zftest::TempDir dir;
    const fs::path root = dir.Path();
    const auto attr = [](const fs::path& file, const std::string& value) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << value << "\n";
    };
    const auto link = [&](const fs::path& at, const std::string& target) {
        fs::create_directories(root / target);
        fs::create_directories(at.parent_path());
        fs::create_directory_symlink(root / target, at);
    };
    const auto tty = [&](const std::string& name, const std::string& device, const std::string& driver,
                         const char* type) {
        link(root / "class/tty" / name / "device", device);
        link(root / device / "driver", driver);
        if (type)
            attr(root / "class/tty" / name / "type", type);
    };
    // A USB adapter: tty, interface, USB device.
    const fs::path usb = root / "devices/usb1/1-1";
    for (const auto& [key, value] : {std::pair{"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"},
                                     {"product", "FT232R USB UART"}, {"serial", "A10K3Q"}})
        attr(usb / key, value);
    tty("ttyUSB0", "devices/usb1/1-1/1-1:1.0/ttyUSB0", "bus/usb-serial/drivers/ftdi_sio", nullptr);
    // Built-in UARTs: one behind the serial core's port objects, two plain, one slot without a chip.
    link(root / "devices/pnp0/00:00/driver", "bus/pnp/drivers/serial");
    link(root / "devices/pnp0/00:00/00:00:0/subsystem", "bus/serial-base");
    link(root / "devices/pnp0/00:00/00:00:0/00:00:0.0/subsystem", "bus/serial-base");
    tty("ttyS0", "devices/pnp0/00:00/00:00:0/00:00:0.0", "bus/serial-base/drivers/port", "4");
    tty("ttyS10", "devices/platform/serial8250/p10", "bus/platform/drivers/serial8250", "4");
    tty("ttyS2", "devices/platform/serial8250/p2", "bus/platform/drivers/serial8250", "4");
    tty("ttyS1", "devices/platform/serial8250/p1", "bus/platform/drivers/serial8250", "0");
    fs::create_directories(root / "class/tty/tty0"); // a virtual console: no device

    const auto ports = CSerialPortInfo::Enumerate((root / "class/tty").c_str(), "/dev");
    std::vector<std::string> names;
    for (const auto& p : ports)
        names.push_back(p.m_strDevice.str() + " " + p.m_strAlias.str() + " " + p.m_strDriver.str());
    EXPECT_EQ(names, (std::vector<std::string>{"/dev/ttyS0 COM1 serial", "/dev/ttyS2 COM3 serial8250",
                                               "/dev/ttyS10 COM11 serial8250", "/dev/ttyUSB0  ftdi_sio"}));
    ASSERT_EQ(ports.size(), 4u);
    EXPECT_FALSE(ports[0].IsUSB());
    EXPECT_EQ(ports[3].Describe(), "FTDI FT232R USB UART (0403:6001, serial A10K3Q, ftdi_sio)");

    EXPECT_TRUE(CSerialPortInfo::Enumerate((root / "missing").c_str()).empty());
}
