#include "comms/SerialPortInfo.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {
// First line of a sysfs attribute, trimmed; empty when absent.
CString ReadAttribute(const fs::path& path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    CString value(line);
    return value.Trim();
}

CString LinkName(const fs::path& link)
{
    std::error_code ec;
    const fs::path target = fs::read_symlink(link, ec);
    return ec ? CString() : CString(target.filename().string());
}

// The port device may be a port object of the serial core ("serial-base"),
// whose parent is the controller with the real driver.
CString DriverOf(fs::path device)
{
    for (int level = 0; level < 3 && !device.empty(); ++level) {
        if (LinkName(device / "subsystem") != "serial-base") {
            if (CString driver = LinkName(device / "driver"); !driver.IsEmpty())
                return driver;
        }
        device = device.parent_path();
    }
    return {};
}

void FillUSB(CSerialPortInfo& info, fs::path device)
{
    // From the tty (usb-serial) or the interface (cdc-acm) up to the USB device.
    for (int level = 0; level < 4 && !device.empty(); ++level) {
        std::error_code ec;
        if (fs::exists(device / "idVendor", ec)) {
            info.m_strVendorID = ReadAttribute(device / "idVendor");
            info.m_strProductID = ReadAttribute(device / "idProduct");
            info.m_strManufacturer = ReadAttribute(device / "manufacturer");
            info.m_strProduct = ReadAttribute(device / "product");
            info.m_strSerialNumber = ReadAttribute(device / "serial");
            return;
        }
        if (info.m_strInterface.IsEmpty())
            info.m_strInterface = ReadAttribute(device / "interface");
        device = device.parent_path();
    }
}

// "ttyS10" after "ttyS9": compares the trailing numbers as numbers.
bool NaturalLess(const CSerialPortInfo& a, const CSerialPortInfo& b)
{
    const auto split = [](const std::string& s) {
        std::size_t i = s.size();
        while (i > 0 && std::isdigit(static_cast<unsigned char>(s[i - 1])))
            --i;
        const std::string digits = s.substr(i);
        return std::make_pair(s.substr(0, i), digits.empty() ? -1L : std::stol(digits.substr(0, 9)));
    };
    return split(a.m_strName.str()) < split(b.m_strName.str());
}
} // namespace

CString CSerialPortInfo::Describe() const
{
    CString text = m_strManufacturer;
    if (!m_strProduct.IsEmpty())
        text += (text.IsEmpty() ? "" : " ") + m_strProduct;
    if (!m_strInterface.IsEmpty() && m_strInterface != m_strProduct)
        text += (text.IsEmpty() ? "" : ", ") + m_strInterface;
    CString details;
    if (IsUSB())
        details.Format("%s:%s", m_strVendorID.GetString(), m_strProductID.GetString());
    if (!m_strSerialNumber.IsEmpty())
        details += (details.IsEmpty() ? "serial " : ", serial ") + m_strSerialNumber;
    if (!m_strDriver.IsEmpty())
        details += (details.IsEmpty() ? "" : ", ") + m_strDriver;
    if (text.IsEmpty())
        return details;
    return details.IsEmpty() ? text : text + " (" + details + ")";
}

std::vector<CSerialPortInfo> CSerialPortInfo::Enumerate(const char* pszClassRoot, const char* pszDeviceRoot)
{
    std::vector<CSerialPortInfo> ports;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(pszClassRoot ? pszClassRoot : "", ec)) {
        const fs::path tty = entry.path();
        // Virtual consoles and pseudo-terminals have no device behind them.
        std::error_code ecDevice;
        const fs::path device = fs::canonical(tty / "device", ecDevice);
        if (ecDevice)
            continue;
        // A built-in UART slot without a chip reports type 0 (unknown).
        if (const CString type = ReadAttribute(tty / "type"); type == "0")
            continue;

        CSerialPortInfo info;
        info.m_strName = tty.filename().string();
        info.m_strDevice = (fs::path(pszDeviceRoot ? pszDeviceRoot : "/dev") / tty.filename()).string();
        info.m_strDriver = DriverOf(device);
        FillUSB(info, device);
        if (info.m_strName.Left(4) == "ttyS" && info.m_strName.GetLength() > 4) {
            const CString number = info.m_strName.Mid(4);
            bool bDigits = true;
            for (int i = 0; i < number.GetLength(); ++i)
                bDigits = bDigits && std::isdigit(static_cast<unsigned char>(number[i]));
            if (bDigits && number.GetLength() <= 3)
                info.m_strAlias.Format("COM%d", std::stoi(number.str()) + 1);
        }
        ports.push_back(std::move(info));
    }
    std::sort(ports.begin(), ports.end(), NaturalLess);
    return ports;
}
