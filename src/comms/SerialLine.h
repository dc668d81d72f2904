#pragma once
// The serial line services the channel stands on, written on POSIX termios:
// port names, exclusive opening, line settings, time-out records, timed reads
// and bounded writes. The records keep the shape the channel works with (a
// line-control record and a time-out record), so the channel itself reads
// the same as on a system with native serial services.
//
// Functions return false on failure and leave the reason in errno.
#include "platform/String.h"
#include "platform/Types.h"

// Line-control record: rate, framing, flow control and modem-line use.
struct DCB
{
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

inline constexpr BYTE NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
inline constexpr BYTE ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;
inline constexpr DWORD DTR_CONTROL_DISABLE = 0, DTR_CONTROL_ENABLE = 1, DTR_CONTROL_HANDSHAKE = 2;
inline constexpr DWORD RTS_CONTROL_DISABLE = 0, RTS_CONTROL_ENABLE = 1, RTS_CONTROL_HANDSHAKE = 2,
                       RTS_CONTROL_TOGGLE = 3;

// Time-out record of a port, milliseconds. Reads wait at most
// multiplier x count + constant for the count asked for (0 and 0: no limit;
// interval MAXDWORD with both totals 0: return at once with what is there).
struct COMMTIMEOUTS
{
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

inline constexpr DWORD MAXDWORD = 0xFFFFFFFFu;

// An open port is a file descriptor; this stands for none.
inline constexpr int INVALID_PORT_HANDLE = -1;

namespace SerialLine {

// Device path for a port name: "COMn" (any case, optional ':') is /dev/ttyS<n-1>,
// a bare name such as "ttyUSB0" is looked up under /dev, a path stays as it is.
CString MapPortName(const CString& name);

// Opens a terminal device for reading and writing, exclusively: a second
// opening, in this process or another, fails with EBUSY. The line is made
// transparent (no echo, no character processing); its rate and framing stay.
// Returns the handle, or INVALID_PORT_HANDLE.
int Open(const CString& path);
void Close(int hPort);

// Builds a record from text such as "9600,n,8,1" or "9600, n, 8, 1" (rate,
// parity n/e/o/m/s, data bits 5-8, stop bits 1/1.5/2, optional x or p for
// flow control; missing fields mean n, 8, 1). EINVAL for anything else.
bool BuildDCB(const char* pszText, DCB& dcb);
// Applies a record: rate (non-standard rates too), framing, flow control,
// and the DTR and RTS lines where the device has them.
bool SetState(int hPort, const DCB& dcb);
// Rates outside the standard table; separate because it needs the kernel's
// own termios definitions.
bool SetCustomRate(int hPort, DWORD nRate);

bool GetTimeouts(int hPort, COMMTIMEOUTS& timeouts);
bool SetTimeouts(int hPort, const COMMTIMEOUTS& timeouts);

// Discards what is waiting in both directions.
bool Purge(int hPort);
// Discards only what has arrived: bytes written and not yet sent still go.
bool PurgeInput(int hPort);

// Nanoseconds a byte takes on the line at the rate last applied (10 bits).
unsigned long long ByteTimeNs(int hPort);

// Asks the driver to pass each byte on at once instead of batching them for a
// few milliseconds. False (errno set) where the device offers no such mode.
bool SetLowLatency(int hPort);

// Reads up to nCount bytes within the port's read time-outs, which start
// nDelayMs late (the time the bytes written before still spend on the wire);
// true with nRead < nCount when the time ran out. Once part has come, it waits
// about as long as the rest takes on the line before looking again, so a long
// reply costs a few wake-ups rather than one per byte. A line that has hung up
// fails with EIO.
bool Read(int hPort, void* pBuffer, DWORD nCount, DWORD& nRead, DWORD nDelayMs = 0);
// Writes within the port's write time-outs; true with nWritten < nCount when
// the time ran out.
bool Write(int hPort, const void* pBuffer, DWORD nCount, DWORD& nWritten);

// The group that may open the device (its group, else "dialout").
CString SerialGroupOf(const CString& path);
// The report for a port that could not be opened, with the system's reason
// and, where it helps, what to do about it.
CString DescribeOpenFailure(const CString& name, const CString& path, int nError);

} // namespace SerialLine
