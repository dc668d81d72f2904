#include "ProductionJob.h"

#include <algorithm>

#include "ExitCode.h"
#include "LibraryMessages.h"
#include "Session.h"
#include "devicedb/BlockItem.h"
#include "devicedb/DeviceInfo.h"
#include "image/FLASHBinaryImage.h"
#include "programmer/FLASHProgrammer.h"

namespace {
constexpr const char* kVerifyQuestion = "Would you like to perform read-back verification?";

// The part of each image range that lies in [first, last].
template <typename F>
void ForEachPiece(const std::vector<SImageRange>& ranges, DWORD first, DWORD last, F&& f)
{
    for (const SImageRange& r : ranges) {
        const DWORD a = std::max(r.first, first);
        const DWORD b = std::min(r.last, last);
        if (a <= b)
            f(a, b);
    }
}
} // namespace

bool CProductionJob::IsLineFault(CSession& s, int code)
{
    if (s.WasCancelled() || (code != ecConnection && code != ecRead && code != ecWrite && code != ecVerify))
        return false;
    return !SawRefusal(s.Sink());
}

int CProductionJob::PlaceSerial(CFLASHBinaryImage& image, std::uint64_t* pNumber)
{
    const SSerialSpec& spec = *m_plan.pSerial;
    std::string error;
    if (!m_plan.pState->Take(spec, pNumber, &error)) {
        m_c.console.Error(error);
        return ecFile;
    }
    std::vector<BYTE> bytes;
    const DWORD size = m_c.pSession->Programmer()->GetFLASHSize();
    if (!spec.Render(*pNumber, &bytes) || static_cast<unsigned long long>(spec.dwAddress) + bytes.size() > size) {
        m_plan.pState->Give(*pNumber, &error);
        m_c.console.Error("the unit number " + std::to_string(*pNumber) +
                          (bytes.empty() ? " does not fit its format" : " would lie beyond the end of FLASH"));
        return ecUsage;
    }
    image.SetDataFromFile(spec.dwAddress, static_cast<DWORD>(bytes.size()), bytes.data());
    m_Ranges = CImageFiles::Ranges(&image);
    m_r.strSerial = std::to_string(*pNumber);
    m_c.console.Note("Unit serial " + m_r.strSerial);
    return ecSuccess;
}

int CProductionJob::Run()
{
    CSession& s = *m_c.pSession;
    std::unique_ptr<CFLASHBinaryImage> image;
    if (const int code = PrepareImage(m_c, image, m_Ranges); code != ecSuccess)
        return code;
    m_r.strDevice = s.Programmer()->GetDeviceName().GetString();
    std::uint64_t number = 0;
    if (m_plan.pSerial)
        if (const int code = PlaceSerial(*image, &number); code != ecSuccess)
            return code;
    m_r.qwBytes = CImageFiles::DataBytes(m_Ranges);
    // The read-back comes after the write, over the whole image, whatever was skipped.
    m_c.host.SetFixedAnswer(kVerifyQuestion, qtNo, "verified after the write");

    bool spent = false;
    int code = s.Connect();
    for (;;) {
        if (code == ecSuccess)
            code = Attempt(*image, &spent);
        if (code == ecSuccess || m_r.nRetries >= m_plan.nRetries || !IsLineFault(s, code))
            break;
        ++m_r.nRetries;
        m_c.console.Message(skWarning,
                            ("line fault: reconnecting (retry " + std::to_string(m_r.nRetries) + " of " +
                             std::to_string(m_plan.nRetries) + ")")
                                .c_str(),
                            0);
        code = s.Reconnect();
    }
    // A number is spent once a write began; one that never reached the chip goes back.
    if (m_plan.pSerial && !spent && !m_r.strSerial.empty()) {
        std::string error;
        if (m_plan.pState->Give(number, &error))
            m_r.strSerial += " (returned)";
        else
            m_c.console.Error(error);
    }
    return code;
}

int CProductionJob::FindChanges(CFLASHBinaryImage& image, std::unique_ptr<CFLASHBinaryImage>* pChanged)
{
    CSession& s = *m_c.pSession;
    CFLASHProgrammer* p = s.Programmer();
    std::unique_ptr<CFLASHBinaryImage> chip(p->CreateImage());
    const bool read = s.Run([&] {
        for (const SImageRange& r : m_Ranges)
            if (!p->ReadImage(1, chip.get(), r.first, r.last - r.first + 1))
                return false;
        return true;
    });
    if (s.WasCancelled())
        return ecCancelled;
    if (!read)
        return s.FailureCode(ecRead);

    pChanged->reset();
    m_r.qwSkipped = 0;
    std::vector<BYTE> mine, theirs;
    for (CObject* o : p->GetDeviceInfo()->m_EraseBlocks) {
        auto* b = static_cast<CBlockItem*>(o);
        const DWORD first = static_cast<DWORD>(b->m_lStart);
        const DWORD last = first + static_cast<DWORD>(b->m_lSize) - 1;
        bool same = true;
        unsigned long long bytes = 0;
        ForEachPiece(m_Ranges, first, last, [&](DWORD a, DWORD z) {
            const DWORD n = z - a + 1;
            mine.resize(n);
            theirs.resize(n);
            image.GetData(a, mine.data(), n);
            chip->GetData(a, theirs.data(), n);
            same = same && mine == theirs;
            bytes += n;
        });
        if (same) {
            m_r.qwSkipped += bytes;
            continue;
        }
        if (!*pChanged)
            pChanged->reset(p->CreateImage());
        ForEachPiece(m_Ranges, first, last, [&](DWORD a, DWORD z) {
            mine.resize(z - a + 1);
            image.GetData(a, mine.data(), z - a + 1);
            (*pChanged)->SetDataFromFile(a, z - a + 1, mine.data());
        });
    }
    if (*pChanged)
        (*pChanged)->ResetUndoRedoMemory();
    return ecSuccess;
}

int CProductionJob::Attempt(CFLASHBinaryImage& image, bool* pSpent)
{
    CSession& s = *m_c.pSession;
    CFLASHProgrammer* p = s.Programmer();
    std::unique_ptr<CFLASHBinaryImage> changed;
    CFLASHBinaryImage* write = &image;
    // After a line fault the chip shows how far the last attempt got.
    if (m_plan.bSkipUnchanged || m_r.nRetries > 0) {
        if (const int code = FindChanges(image, &changed); code != ecSuccess)
            return code;
        write = changed.get();
        if (m_r.qwSkipped > 0)
            m_c.console.Note("Skipping " + std::to_string(m_r.qwSkipped) + " bytes in blocks that already hold them");
    }
    if (write) {
        *pSpent = true;
        const bool ok = s.Run([&] { return p->WriteImage(write); });
        if (!ok || s.WasCancelled())
            return WriteFailureCode(s);
        if (m_c.host.WasUnanswered())
            return ecAnswerNeeded;
        if (!SawMessage(s.Sink(), lmWritten)) {
            m_c.console.Error("programming was cancelled before the image was written");
            return ecCancelled;
        }
    } else if (!*pSpent) {
        m_r.bAlreadyProgrammed = true;
        m_c.console.Message(skSuccess, "Already programmed: every block holds the image", 0);
    }
    if (m_c.o.bVerify) {
        const bool ok = s.Run([&] { return p->ReadbackVerify(&image); });
        if (!ok || s.WasCancelled())
            return WriteFailureCode(s);
        m_r.bVerified = SawMessage(s.Sink(), lmVerified) != nullptr;
    }
    return ecSuccess;
}
