#include "comms/Scanlet.h"

#include <cstdlib>
#include <mutex>
#include <utility>

#include "comms/ScanletSocket.h"

namespace {
// Stands in when no adapter support is present: nothing is installed and the
// port never opens.
class CNoScanletBackend : public CScanletBackend
{
public:
    bool IsInstalled() override { return false; }
    bool OpenPort(CString& error) override
    {
        error = "adapter software not installed";
        return false;
    }
    void ClosePort() override {}
    void SetClockInput(unsigned char, int) override {}
    void SetClockDivider(unsigned char) override {}
    void SetOutputsEnabled(bool) override {}
    void ResetTestLogic() override {}
    int ScanIR(const unsigned char*, unsigned long, unsigned char*) override { return SCANLET_NOT_OPEN; }
    int WriteWord(const unsigned char*, unsigned long) override { return SCANLET_NOT_OPEN; }
    int ReadWord(unsigned char*, unsigned long) override { return SCANLET_NOT_OPEN; }
};

std::mutex s_backendMutex;
std::shared_ptr<CScanletBackend> s_pBackend;

std::shared_ptr<CScanletBackend> DefaultBackend()
{
    static const std::shared_ptr<CScanletBackend> s_default = std::make_shared<CNoScanletBackend>();
    return s_default;
}
} // namespace

void SetScanletBackend(std::shared_ptr<CScanletBackend> backend)
{
    std::lock_guard guard(s_backendMutex);
    s_pBackend = std::move(backend);
}

std::shared_ptr<CScanletBackend> GetScanletBackend()
{
    std::lock_guard guard(s_backendMutex);
    if (s_pBackend)
        return s_pBackend;
    // A virtual adapter in another process; each caller gets its own link.
    if (const char* pszSocket = std::getenv(SCANLET_SOCKET_VARIABLE); pszSocket && *pszSocket)
        return std::make_shared<CScanletSocketBackend>(pszSocket);
    return DefaultBackend();
}

Scanlet::Scanlet(int /*nPort*/, int /*nFlags*/) : m_pBackend(GetScanletBackend())
{
    CString error;
    if (m_pBackend->OpenPort(error)) {
        m_nPortStatus = SCANLET_PORT_OPEN;
    } else {
        m_strPortError = error.IsEmpty() ? CString("adapter port unavailable") : error;
    }
}

Scanlet::~Scanlet()
{
    if (m_nPortStatus == SCANLET_PORT_OPEN)
        m_pBackend->ClosePort();
}

int Scanlet::VerifyInstallation()
{
    return GetScanletBackend()->IsInstalled() ? 1 : 0;
}

CString Scanlet::GetPortErrorMsg(unsigned long /*nCode*/) const
{
    return m_strPortError;
}

void Scanlet::SetCLKIN(unsigned char nClkIn, int nMode)
{
    if (m_nPortStatus == SCANLET_PORT_OPEN)
        m_pBackend->SetClockInput(nClkIn, nMode);
}

void Scanlet::SetCDIV(unsigned char nDivider)
{
    if (m_nPortStatus == SCANLET_PORT_OPEN)
        m_pBackend->SetClockDivider(nDivider);
}

void Scanlet::SetTOE(int nEnable)
{
    if (m_nPortStatus == SCANLET_PORT_OPEN)
        m_pBackend->SetOutputsEnabled(nEnable != 0);
}

void Scanlet::TMSReset()
{
    if (m_nPortStatus == SCANLET_PORT_OPEN)
        m_pBackend->ResetTestLogic();
}

void Scanlet::SetMudriTimeout(unsigned long nTimeout)
{
    m_nMudriTimeout = nTimeout;
}

int Scanlet::ScanIR(const unsigned char* pInstruction, unsigned long nBits, unsigned char* pOut)
{
    if (m_nPortStatus != SCANLET_PORT_OPEN || !pInstruction)
        return SCANLET_NOT_OPEN;
    return Checked(m_pBackend->ScanIR(pInstruction, nBits, pOut));
}

int Scanlet::WriteMudri(const unsigned char* pWord)
{
    if (m_nPortStatus != SCANLET_PORT_OPEN || !pWord)
        return SCANLET_NOT_OPEN;
    return Checked(m_pBackend->WriteWord(pWord, m_nMudriTimeout));
}

int Scanlet::ReadMudri(unsigned char* pWord)
{
    if (m_nPortStatus != SCANLET_PORT_OPEN || !pWord)
        return SCANLET_NOT_OPEN;
    return Checked(m_pBackend->ReadWord(pWord, m_nMudriTimeout));
}

int Scanlet::Checked(int nResult)
{
    if (nResult != SCANLET_OK && nResult != SCANLET_TIMEOUT)
        Error(nResult);
    return nResult;
}

void Scanlet::Error(int nCode)
{
    CString text;
    if (nCode == SCANLET_NOT_OPEN)
        text = "the adapter's port is not open";
    else
        text.Format("adapter error %d", nCode);
    const CString reason = m_pBackend->GetLastError();
    if (!reason.IsEmpty())
        text += " (" + reason + ")";
    Report(text);
}

void Scanlet::Report(const char* /*pszText*/) {}
