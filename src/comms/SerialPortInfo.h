#pragma once
// The serial ports of this machine with what the system knows about them,
// for listing to the user. Read from the kernel's tty class in sysfs.
#include <vector>

#include "platform/String.h"

class CSerialPortInfo
{
public:
    CString m_strName;         // "ttyUSB0"
    CString m_strDevice;       // "/dev/ttyUSB0"
    CString m_strAlias;        // "COM1" for the built-in ports that name stands for; else empty
    CString m_strDriver;       // "ftdi_sio", "cdc_acm", "serial8250", ...
    CString m_strVendorID;     // USB ids as four hex digits; empty for other buses
    CString m_strProductID;
    CString m_strManufacturer;
    CString m_strProduct;
    CString m_strSerialNumber;
    CString m_strInterface;    // the USB interface's own name, where it has one

    bool IsUSB() const { return !m_strVendorID.IsEmpty(); }
    // One line for a listing: "FTDI FT232R USB UART (0403:6001, ftdi_sio)".
    CString Describe() const;

    // Ports with a device behind them, in natural name order. Built-in UARTs
    // that the kernel found no chip for are left out. The roots are
    // parameters so that a prepared tree can stand in for the system's.
    static std::vector<CSerialPortInfo> Enumerate(const char* pszClassRoot = "/sys/class/tty",
                                                  const char* pszDeviceRoot = "/dev");
};
