#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "comms/SerialPortInfo.h"

namespace fs = std::filesystem;

namespace {
// A small copy of the kernel's tty class: what a PC with a USB adapter shows.
class CSysTree
{
public:
    CSysTree()
    {
        // A USB serial adapter: tty -> interface -> USB device.
        const fs::path usb = Dir("devices/usb1/1-1");
        Attr(usb / "idVendor", "0403");
        Attr(usb / "idProduct", "6001");
        Attr(usb / "manufacturer", "FTDI");
        Attr(usb / "product", "FT232R USB UART");
        Attr(usb / "serial", "A10K3Q");
        Attr(usb / "1-1:1.0/interface", "FT232R USB UART");
        Tty("ttyUSB0", usb / "1-1:1.0/ttyUSB0", "bus/usb-serial/drivers/ftdi_sio");
        // A built-in UART behind the serial core's port objects.
        const fs::path pnp = Dir("devices/pnp0/00:00");
        Link(pnp / "driver", Dir("bus/pnp/drivers/serial"));
        Link(pnp / "00:00:0/subsystem", Dir("bus/serial-base"));
        Tty("ttyS0", pnp / "00:00:0/00:00:0.0", "bus/serial-base/drivers/port", "4");
        Link(m_root / "devices/pnp0/00:00/00:00:0/00:00:0.0/subsystem", m_root / "bus/serial-base");
        // More UARTs: two with a chip, one slot without.
        Tty("ttyS2", m_root / "devices/platform/serial8250/port2", "bus/platform/drivers/serial8250", "4");
        Tty("ttyS10", m_root / "devices/platform/serial8250/port10", "bus/platform/drivers/serial8250", "4");
        Tty("ttyS1", m_root / "devices/platform/serial8250/port1", "bus/platform/drivers/serial8250", "0");
        // A virtual console: no device.
        Dir("class/tty/tty0");
    }

    std::string ClassRoot() const { return (m_root / "class/tty").string(); }

private:
    fs::path Dir(const std::string& relative)
    {
        fs::create_directories(m_root / relative);
        return m_root / relative;
    }
    static void Attr(const fs::path& file, const std::string& value)
    {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << value << "\n";
    }
    static void Link(const fs::path& link, const fs::path& target)
    {
        fs::create_directories(target);
        fs::create_directories(link.parent_path());
        fs::create_directory_symlink(target, link);
    }
    void Tty(const std::string& name, const fs::path& device, const std::string& driver, const char* type = nullptr)
    {
        const fs::path tty = Dir("class/tty/" + name);
        fs::create_directories(device);
        Link(tty / "device", device);
        Link(device / "driver", m_root / driver);
        if (type)
            Attr(tty / "type", type);
    }

    zftest::TempDir m_dir;
    fs::path m_root = m_dir.Path();
};
} // namespace

TEST(CSerialPortInfo, ListsPortsWithWhatTheSystemKnows)
{
    CSysTree sys;
    const auto ports = CSerialPortInfo::Enumerate(sys.ClassRoot().c_str(), "/dev");
    std::vector<std::string> names;
    for (const auto& p : ports)
        names.push_back(p.m_strName.str());
    EXPECT_EQ(names, (std::vector<std::string>{"ttyS0", "ttyS2", "ttyS10", "ttyUSB0"}));
    ASSERT_EQ(ports.size(), 4u);

    const CSerialPortInfo& uart = ports[0];
    EXPECT_EQ(uart.m_strDevice, "/dev/ttyS0");
    EXPECT_EQ(uart.m_strAlias, "COM1");
    EXPECT_EQ(uart.m_strDriver, "serial"); // the controller's, not the serial core's
    EXPECT_FALSE(uart.IsUSB());
    EXPECT_EQ(uart.Describe(), "serial");
    EXPECT_EQ(ports[2].m_strAlias, "COM11");

    const CSerialPortInfo& usb = ports[3];
    EXPECT_EQ(usb.m_strDevice, "/dev/ttyUSB0");
    EXPECT_TRUE(usb.m_strAlias.IsEmpty());
    EXPECT_EQ(usb.m_strDriver, "ftdi_sio");
    EXPECT_EQ(usb.m_strVendorID, "0403");
    EXPECT_EQ(usb.m_strProductID, "6001");
    EXPECT_EQ(usb.Describe(), "FTDI FT232R USB UART (0403:6001, serial A10K3Q, ftdi_sio)");
}

TEST(CSerialPortInfo, AMissingTreeListsNothing)
{
    EXPECT_TRUE(CSerialPortInfo::Enumerate("/nonexistent/zflash/tty").empty());
    EXPECT_TRUE(CSerialPortInfo::Enumerate(nullptr).empty());
}
