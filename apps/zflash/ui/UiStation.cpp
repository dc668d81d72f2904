#include "UiStation.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "ExitCode.h"
#include "ImageFiles.h"
#include "LibraryMessages.h"
#include "UiVerifyOperation.h"
#include "comms/SerialPortInfo.h"
#include "device/FLASHDevice.h"
#include "devicedb/BlockItem.h"
#include "devicedb/DeviceInfo.h"
#include "operations/DocumentOperations.h"
#include "operations/ProgrammerOperations.h"
#include "platform/Time.h"
#include "programmer/FLASHProgrammer.h"
#include "programmer/OTPConfig.h"
#include "sim/SimTarget.h"

namespace {
// Larger reads of the hex view come in pieces.
constexpr unsigned long kMaxBytesPerRequest = 64 * 1024;
// A fill is one editing write; this keeps one request from taking the memory.
constexpr unsigned long long kMaxFill = 16ULL * 1024 * 1024;
constexpr std::size_t kResultsKept = 20;

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "H'%08X", static_cast<unsigned>(value));
    return text;
}

// A number from JSON: an integer, or text as the command line takes it.
bool Number(const nlohmann::json& request, const char* key, DWORD* pValue)
{
    const auto it = request.find(key);
    if (it == request.end())
        return false;
    if (it->is_number_unsigned() && it->get<unsigned long long>() <= 0xFFFFFFFFULL) {
        *pValue = static_cast<DWORD>(it->get<unsigned long long>());
        return true;
    }
    return it->is_string() && ParseNumber(it->get<std::string>(), pValue);
}

std::string Text(const nlohmann::json& request, const char* key, const std::string& fallback = "")
{
    const auto it = request.find(key);
    return it != request.end() && it->is_string() ? it->get<std::string>() : fallback;
}

SUiReply Started(const std::string& name)
{
    return {202, {{"started", name}}};
}

// The bytes of the ranges from one image into the other, a piece at a time.
void CopyRanges(const std::vector<SImageRange>& ranges, CFLASHBinaryImage& from, CFLASHBinaryImage& to)
{
    std::vector<BYTE> buffer(1 << 16);
    for (const SImageRange& r : ranges)
        for (unsigned long long a = r.first; a <= r.last;) {
            const DWORD n = static_cast<DWORD>(std::min<unsigned long long>(buffer.size(), r.last - a + 1));
            from.GetData(static_cast<DWORD>(a), buffer.data(), n);
            to.SetDataFromFile(static_cast<DWORD>(a), n, buffer.data());
            a += n;
        }
}

const char* FailText(DWORD code)
{
    switch (code) {
    case fcSuccess: return "";
    case fcDecode: return "image decode failed";
    case fcDownload: return "programming the image failed";
    case fcUpload: return "reading the device back failed";
    case fcConnect: return "connection failed";
    case fcErase: return "erasing failed";
    case fcBlankCheck: return "blank check failed";
    case fcDocumentBusy: return g_szDocumentBusy;
    case fcDisconnect: return "disconnection failed";
    case fcBlockList: return "building the block list failed";
    case fcVerify: return "verification failed";
    default: return "the operation failed";
    }
}
} // namespace

CUiStation::CUiStation(CUiEventHub& events, CUiHost& host) : m_events(events), m_host(host)
{
    m_pWindow = std::make_unique<CUiWindow>([this](UINT message, LPARAM lParam) { OnWindowMessage(message, lParam); });
    m_pImage = std::make_unique<CFLASHBinaryImage>(0, &m_Document);
    m_host.SetListener([this](eStatusKind kind, const std::string& text) {
        if (kind == skSuccess && IsMessage(text, lmVerified))
            m_bVerifiedSeen = true;
        if (kind == skSuccess && IsMessage(text, lmWritten))
            m_bWrittenSeen = true;
    });
    m_Ticker = std::thread([this] { Ticker(); });
}

CUiStation::~CUiStation()
{
    m_bStopping = true;
    Cancel();
    m_Queue.Shutdown(false);
    m_Ticker.join();
    m_pWindow->DestroyWindow();
    {
        std::lock_guard lock(m_opMutex);
        if (m_Running.pOperation)
            m_Finished.push_back(std::move(m_Running));
    }
    DeleteFinished();
    CloseDevice();
    m_host.SetListener(nullptr);
}

void CUiStation::CloseDevice()
{
    std::lock_guard lock(m_deviceMutex);
    m_pSession.reset();
    m_pConsoleHost.reset();
    m_pConsole.reset();
    if (m_pConsoleFile)
        std::fclose(m_pConsoleFile);
    m_pConsoleFile = nullptr;
    std::free(m_pConsoleText);
    m_pConsoleText = nullptr;
    m_nConsoleText = 0;
    m_bConnected = false;
    m_Identity = nullptr;
    m_BlockStates.clear();
}

nlohmann::json CUiStation::BundledDevices()
{
    namespace fs = std::filesystem;
    nlohmann::json list = nlohmann::json::array();
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(CSession::DefaultDefinition()).parent_path(), ec))
        if (entry.path().extension() == ".ini")
            names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
        list.push_back(n);
    return list;
}

nlohmann::json CUiStation::Ports()
{
    nlohmann::json list = nlohmann::json::array();
    list.push_back({{"device", "sim"}, {"description", "virtual target (started in this program)"}});
    for (const CSerialPortInfo& p : CSerialPortInfo::Enumerate())
        list.push_back({{"device", p.m_strDevice.GetString()}, {"description", p.Describe().GetString()}});
    return list;
}

SUiReply CUiStation::Configure(const nlohmann::json& request)
{
    {
        std::lock_guard lock(m_opMutex);
        if (m_Running.pOperation)
            return SUiReply::Fail(409, "an operation is running: cancel it or wait");
    }
    std::string definition = Text(request, "definition", "ZT31F256.ini");
    if (definition.find('/') == std::string::npos)
        definition = (std::filesystem::path(CSession::DefaultDefinition()).parent_path() / definition).string();
    const std::string connection = Text(request, "connection", "boot");
    const std::string erase = Text(request, "erase", "ask");
    if (ConnectionTypeFromName(connection) < 0)
        return SUiReply::Fail(400, "unknown connection type '" + connection + "'");
    if (erase != "ask" && erase != "auto" && erase != "never")
        return SUiReply::Fail(400, "erase must be ask, auto or never");
    DWORD baud = 0;
    if (request.contains("baud") && !Number(request, "baud", &baud))
        return SUiReply::Fail(400, "the rate is not a number");

    // Finished operations still point at the programmer that goes now.
    DeleteFinished();
    CloseDevice();
    std::lock_guard lock(m_deviceMutex);
    m_Options = SCliOptions{};
    m_Options.strDevice = definition;
    m_Options.strPort = Text(request, "port", "sim");
    m_Options.strConnection = connection;
    m_Options.strErase = erase;
    m_Options.nBaud = static_cast<long>(baud);
    // The tool's console speaks JSON into memory: its lines become the page's messages.
    m_pConsoleFile = ::open_memstream(&m_pConsoleText, &m_nConsoleText);
    m_pConsole = std::make_unique<CConsole>(m_pConsoleFile, m_pConsoleFile, omJson, vbNormal, false);
    m_pConsoleHost = std::make_unique<CConsoleHost>(*m_pConsole, apNo, -1);
    m_pSession = std::make_unique<CSession>(m_Options, *m_pConsole, *m_pConsoleHost);
    const int code = m_pSession->Open();
    std::fflush(m_pConsoleFile);
    std::string errors;
    std::istringstream lines(std::string(m_pConsoleText, m_nConsoleText));
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json e = nlohmann::json::parse(line, nullptr, false);
        if (e.is_discarded() || !e.contains("text"))
            continue;
        const std::string level = e.value("level", "message");
        std::string text = e.value("text", "");
        if (e.contains("hint"))
            text += " (" + e.value("hint", "") + ")";
        if (level == "error")
            errors += (errors.empty() ? "" : "; ") + text;
        m_events.Publish({{"event", "message"}, {"kind", level}, {"text", text}, {"id", 0}});
    }
    if (code != ecSuccess) {
        m_pSession.reset();
        return SUiReply::Fail(400, errors.empty() ? "the device cannot be set up" : errors);
    }
    m_BlockStates.assign(static_cast<std::size_t>(m_pSession->Definition()->m_EraseBlocks.GetCount()), "unknown");
    m_bConnected = false;
    SUiReply reply{200, DeviceJson()};
    m_events.Publish({{"event", "device"}, {"device", reply.body}});
    return reply;
}

bool CUiStation::Ready(SUiReply& reply, bool bNeedConnection)
{
    std::lock_guard lock(m_deviceMutex);
    if (!m_pSession || !m_pSession->Programmer()) {
        reply = SUiReply::Fail(409, "no device is set up: choose a definition and a port first");
        return false;
    }
    if (bNeedConnection && !m_bConnected) {
        reply = SUiReply::Fail(409, "not connected: connect first");
        return false;
    }
    return true;
}

SUiReply CUiStation::Start(SRunning running)
{
    std::unique_lock lock(m_opMutex);
    if (m_Running.pOperation) {
        delete running.pOperation;
        return SUiReply::Fail(409, "another operation is running: cancel it or wait");
    }
    lock.unlock();
    DeleteFinished();
    lock.lock();
    m_host.Resume();
    m_bVerifiedSeen = false;
    m_bWrittenSeen = false;
    m_bCancelRequested = false;
    m_Sink.SetProgressString("");
    m_Sink.SetProgressRange(0, 100);
    m_Sink.GetProgress() = 0;
    running.pOperation->EnableNotification(1, 0);
    const std::string name = running.strName;
    CFLASHOperation* op = running.pOperation;
    m_Running = std::move(running);
    m_events.Publish({{"event", "started"}, {"operation", name}});
    if (!m_Queue.AddOperation(op)) {
        m_Running = SRunning{};
        delete op;
        return SUiReply::Fail(503, "the server is stopping");
    }
    return Started(name);
}

SUiReply CUiStation::Connect()
{
    SUiReply reply;
    if (!Ready(reply, false))
        return reply;
    SRunning r;
    r.strName = "connect";
    r.pOperation = new CConnectOperation(m_pWindow.get(), m_pSession->Programmer(), &m_Sink, nullptr);
    return Start(std::move(r));
}

SUiReply CUiStation::Disconnect()
{
    SUiReply reply;
    if (!Ready(reply, false))
        return reply;
    SRunning r;
    r.strName = "disconnect";
    r.pOperation = new CDisconnectOperation(m_pWindow.get(), m_pSession->Programmer(), &m_Sink, nullptr);
    return Start(std::move(r));
}

SUiReply CUiStation::BlockList()
{
    SUiReply reply;
    if (!Ready(reply, true))
        return reply;
    SRunning r;
    r.strName = "blocks";
    r.pOperation = new CBuildBlockEraseListOperation(m_pWindow.get(), m_pSession->Programmer(), &m_Sink, nullptr);
    return Start(std::move(r));
}

SUiReply CUiStation::BlankCheck()
{
    SUiReply reply;
    if (!Ready(reply, true))
        return reply;
    SRunning r;
    r.strName = "blank";
    r.pOperation = new CBlankCheckOperation(m_pWindow.get(), m_pSession->Programmer(), &m_Sink, nullptr);
    return Start(std::move(r));
}

SUiReply CUiStation::Erase(const nlohmann::json& request)
{
    SUiReply reply;
    if (!Ready(reply, true))
        return reply;
    const bool all = request.value("all", false);
    std::vector<std::string> names;
    if (const auto it = request.find("blocks"); it != request.end() && it->is_array())
        for (const auto& n : *it)
            if (n.is_string())
                names.push_back(n.get<std::string>());
    if (!all && names.empty())
        return SUiReply::Fail(400, "choose the blocks to erase, or all");
    auto* list = new CObList;
    for (CObject* o : m_pSession->Programmer()->GetDeviceInfo()->m_EraseBlocks) {
        auto* b = static_cast<CBlockItem*>(o);
        if (all || std::find(names.begin(), names.end(), b->m_strBlockName.GetString()) != names.end())
            list->AddTail(new CBlockItem(b));
    }
    if (!all && static_cast<std::size_t>(list->GetCount()) != names.size()) {
        for (CObject* o : *list)
            delete o;
        delete list;
        return SUiReply::Fail(400, "the device has no block of one of those names");
    }
    SRunning r;
    r.strName = "erase";
    r.pOperation = new CEraseBlocksOperation(m_pWindow.get(), list, m_pSession->Programmer(), &m_Sink, nullptr);
    return Start(std::move(r));
}

SUiReply CUiStation::Read(const nlohmann::json& request)
{
    SUiReply reply;
    if (!Ready(reply, true))
        return reply;
    const DWORD size = m_pSession->Programmer()->GetFLASHSize();
    DWORD start = 0, length = 0;
    if ((request.contains("start") && !Number(request, "start", &start)) ||
        (request.contains("length") && !Number(request, "length", &length)))
        return SUiReply::Fail(400, "start and length take numbers such as 0x8000 or 32K");
    if (length == 0 && start < size)
        length = size - start;
    if (start >= size || static_cast<unsigned long long>(start) + length > size)
        return SUiReply::Fail(400, "the range is outside the FLASH (" + std::to_string(size) + " bytes)");
    SRunning r;
    r.strName = "read";
    r.pOperation = new CUploadOperation(m_pWindow.get(), nullptr, start, length, 1, m_pSession->Programmer(), &m_Sink,
                                        &m_Document, nullptr);
    return Start(std::move(r));
}

std::unique_ptr<CFLASHBinaryImage> CUiStation::ImageForDevice(std::string* pError)
{
    std::lock_guard lock(m_imageMutex);
    const std::vector<SImageRange> ranges = CImageFiles::Ranges(m_pImage.get());
    if (ranges.empty()) {
        *pError = "the image holds no data: open a file first";
        return nullptr;
    }
    CFLASHProgrammer* programmer = m_pSession->Programmer();
    const DWORD size = programmer->GetFLASHSize();
    if (ranges.back().last >= size) {
        *pError = "the image reaches " + Hex(ranges.back().last) + ", beyond the end of FLASH (" +
                  Hex(size ? size - 1 : 0) + ")";
        return nullptr;
    }
    std::unique_ptr<CFLASHBinaryImage> out(programmer->CreateImage());
    CopyRanges(ranges, *m_pImage, *out);
    out->ResetUndoRedoMemory();
    return out;
}

SUiReply CUiStation::Program(const nlohmann::json& request)
{
    SUiReply reply;
    if (!Ready(reply, false))
        return reply;
    std::string error;
    SRunning r;
    r.pImage = ImageForDevice(&error);
    if (!r.pImage)
        return SUiReply::Fail(400, error);
    r.bProduction = request.value("production", false);
    r.strName = r.bProduction ? "job" : "program";
    if (r.bProduction) {
        r.strJob = Text(request, "job");
        r.pJob = std::make_unique<COTPConfig>(Text(request, "log").c_str(), r.strJob.c_str(),
                                              Text(request, "operator").c_str(), true);
    }
    r.pOperation = new CDownloadOperation(m_pWindow.get(), r.pImage.get(), m_pSession->Programmer(), &m_Sink,
                                          &m_Document, r.bProduction, r.pJob.get(), nullptr);
    return Start(std::move(r));
}

SUiReply CUiStation::Verify()
{
    SUiReply reply;
    if (!Ready(reply, false))
        return reply;
    std::string error;
    SRunning r;
    r.pImage = ImageForDevice(&error);
    if (!r.pImage)
        return SUiReply::Fail(400, error);
    r.strName = "verify";
    r.pOperation = new CUiVerifyOperation(m_pWindow.get(), r.pImage.get(), m_pSession->Programmer(), &m_Sink);
    return Start(std::move(r));
}

SUiReply CUiStation::Cancel()
{
    {
        std::lock_guard lock(m_opMutex);
        if (!m_Running.pOperation)
            return {200, {{"cancelled", false}}};
        m_bCancelRequested = true;
    }
    // A question waiting would keep the library's lock, and the cancel waits for that lock.
    m_host.CancelQuestions();
    m_Queue.AbortCurrent();
    return {200, {{"cancelled", true}}};
}

void CUiStation::OnWindowMessage(UINT message, LPARAM lParam)
{
    if (message == wmOperationFinished)
        Finished(reinterpret_cast<CFLASHOperation*>(lParam));
}

void CUiStation::SetBlockStates(const char* pszState, bool bOnlyImage)
{
    CDeviceInfo* info = m_pSession ? m_pSession->Definition() : nullptr;
    if (!info)
        return;
    std::vector<SImageRange> ranges;
    if (bOnlyImage) {
        std::lock_guard lock(m_imageMutex);
        ranges = CImageFiles::Ranges(m_pImage.get());
    }
    std::size_t i = 0;
    for (CObject* o : info->m_EraseBlocks) {
        auto* b = static_cast<CBlockItem*>(o);
        bool touched = !bOnlyImage;
        for (const SImageRange& r : ranges)
            touched = touched || b->IsBlockAddress(static_cast<long>(r.first), static_cast<long>(r.last));
        if (touched && i < m_BlockStates.size())
            m_BlockStates[i] = pszState;
        ++i;
    }
}

void CUiStation::Finished(CFLASHOperation* pOperation)
{
    std::unique_lock lock(m_opMutex);
    if (!pOperation || pOperation != m_Running.pOperation)
        return;
    m_Queue.OperationFinished(pOperation);
    const DWORD code = pOperation->GetFailCode();
    CFLASHProgrammer* programmer = pOperation->GetFLASHProgrammer();
    const bool cancelled = m_bCancelRequested || pOperation->IsAborted() || (programmer && programmer->GetCancelFlag());
    nlohmann::json e = {{"event", "finished"}, {"operation", m_Running.strName}, {"code", code},
                        {"ok", code == fcSuccess && !cancelled}, {"cancelled", cancelled}, {"error", FailText(code)}};
    std::unique_lock device(m_deviceMutex);
    const std::string& name = m_Running.strName;
    TakeResult(pOperation, code == fcSuccess, cancelled, e);
    // Writes and jobs connect as they need and a job lets the target go at its end.
    m_bConnected = programmer && programmer->IsConnected();
    // The library let the virtual chip go: the next connection finds it as the
    // next unit on a bench would be, freshly reset.
    if (!m_bConnected && (name == "disconnect" || name == "job") && m_pSession && m_pSession->Sim())
        m_pSession->Sim()->Reset();
    device.unlock();
    m_Finished.push_back(std::move(m_Running));
    m_Running = SRunning{};
    lock.unlock();
    m_events.Publish(e);
    PublishDevice();
    PublishImage();
}

void CUiStation::TakeResult(CFLASHOperation* pOperation, bool bSuccess, bool bCancelled, nlohmann::json& e)
{
    const std::string& name = m_Running.strName;
    CFLASHProgrammer* programmer = pOperation->GetFLASHProgrammer();
    CDeviceInfo* info = m_pSession ? m_pSession->Definition() : nullptr;
    if (name == "connect" && bSuccess && programmer && programmer->IsConnected()) {
        m_bConnected = true;
        BlockStatesFromChip(programmer);
        TakeIdentity(programmer);
    } else if (name == "blocks" && bSuccess) {
        BlockStatesFromChip(programmer);
    } else if (name == "blank" && bSuccess && !bCancelled) {
        e["blank"] = static_cast<CBlankCheckOperation*>(pOperation)->IsBlank();
    } else if (name == "erase" && bSuccess && !bCancelled && info) {
        MarkErased(static_cast<CEraseBlocksOperation*>(pOperation)->GetBlockList(), *info);
    } else if (name == "read" && bSuccess && !bCancelled) {
        TakeReadImage(std::unique_ptr<CFLASHBinaryImage>(static_cast<CUploadOperation*>(pOperation)->GetReadImage()));
    } else if (name == "program" || name == "job" || name == "verify") {
        TakeWriteResult(name, bSuccess && !bCancelled, e);
    }
}

void CUiStation::BlockStatesFromChip(CFLASHProgrammer* programmer)
{
    std::size_t i = 0;
    for (CObject* o : programmer->GetDeviceInfo()->m_EraseBlocks)
        if (i < m_BlockStates.size())
            m_BlockStates[i++] = programmer->GetProtocol() == 1 ? "unknown"
                                 : static_cast<CBlockItem*>(o)->m_bWritten ? "written"
                                                                          : "blank";
}

void CUiStation::TakeIdentity(CFLASHProgrammer* programmer)
{
    CFLASHDevice* d = programmer->GetFLASHDevice();
    const CFLASHDeviceID* id = d ? d->GetDeviceID() : nullptr;
    if (!id)
        return;
    const BYTE* word = id->GetKernelWord();
    char text[8];
    std::snprintf(text, sizeof text, "%02X%02X", word[0], word[1]);
    m_Identity = {{"device", programmer->GetDeviceName().GetString()}, {"kernel_word", text},
                  {"line_size", id->GetLineSize()}, {"work_area", id->GetKernelWorkArea()},
                  {"handshake", id->GetHandshake()}, {"buffer_size", d->GetBufferSize()},
                  {"protocol", programmer->GetProtocol()}};
}

void CUiStation::MarkErased(const CObList* pErased, const CDeviceInfo& info)
{
    std::size_t i = 0;
    for (CObject* o : info.m_EraseBlocks) {
        if (pErased)
            for (CObject* x : *pErased)
                if (static_cast<CBlockItem*>(x)->m_strBlockName == static_cast<CBlockItem*>(o)->m_strBlockName &&
                    i < m_BlockStates.size())
                    m_BlockStates[i] = "erased";
        ++i;
    }
}

void CUiStation::TakeReadImage(std::unique_ptr<CFLASHBinaryImage> read)
{
    if (!read)
        return;
    std::lock_guard image(m_imageMutex);
    CopyRanges(CImageFiles::Ranges(read.get()), *read, *m_pImage);
    // A read replaces the history, as the library's read does for its own image.
    m_pImage->ResetUndoRedoMemory();
    m_UndoNames.clear();
    m_RedoNames.clear();
}

void CUiStation::TakeWriteResult(const std::string& name, bool bOK, nlohmann::json& e)
{
    const bool verified = bOK && m_bVerifiedSeen;
    const bool written = name == "verify" ? verified : bOK && m_bWrittenSeen;
    if (written)
        SetBlockStates(verified ? "verified" : "written", true);
    e["written"] = written;
    e["verified"] = verified;
    if (name != "job")
        return;
    const bool pass = written && verified;
    ++m_nUnits;
    ++(pass ? m_nPassed : m_nFailed);
    nlohmann::json result = {{"unit", m_nUnits}, {"job", m_Running.strJob}, {"pass", pass},
                             {"time", CTime::GetCurrentTime().Format("%H:%M:%S").GetString()}};
    m_Results.push_front(result);
    if (m_Results.size() > kResultsKept)
        m_Results.pop_back();
    e["pass"] = pass;
    e["unit"] = m_nUnits;
}

void CUiStation::DeleteFinished()
{
    std::vector<SRunning> done;
    {
        std::lock_guard lock(m_opMutex);
        done.swap(m_Finished);
    }
    if (done.empty())
        return;
    // The worker may still be returning from the operation's Execute.
    m_Queue.WaitUntilIdle();
    for (SRunning& r : done)
        delete r.pOperation;
}

void CUiStation::Ticker()
{
    using clock = std::chrono::steady_clock;
    DWORD last = 0, lastHigh = 0;
    std::string lastText;
    auto lastTime = clock::now();
    while (!m_bStopping) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        std::string name;
        {
            std::lock_guard lock(m_opMutex);
            if (!m_Running.pOperation) {
                last = lastHigh = 0;
                continue;
            }
            name = m_Running.strName;
        }
        DWORD low = 0, high = 0;
        m_Sink.GetProgressRange(low, high);
        const DWORD pos = m_Sink.GetProgress().load();
        const std::string text = m_Sink.GetProgressString().GetString();
        const auto now = clock::now();
        const double seconds = std::chrono::duration<double>(now - lastTime).count();
        nlohmann::json e = {{"event", "progress"}, {"operation", name}, {"position", pos}, {"low", low},
                            {"high", high}, {"text", text}};
        // While writing, the position counts the bytes written: their rate over wall time,
        // between two looks at the same phase.
        if (text.find("Writing") != std::string::npos && high == lastHigh && pos >= last && last < high && seconds > 0)
            e["rate"] = (pos - last) / seconds;
        if (pos != last || text != lastText || e.contains("rate"))
            m_events.Publish(e);
        last = pos;
        lastHigh = high;
        lastText = text;
        lastTime = now;
    }
}

nlohmann::json CUiStation::DeviceJson()
{
    nlohmann::json d = {{"configured", false}};
    if (!m_pSession || !m_pSession->Definition())
        return d;
    CDeviceInfo* info = m_pSession->Definition();
    d = {{"configured", true}, {"definition", m_pSession->DefinitionPath()},
         {"name", info->m_strDeviceCode.GetString()}, {"flash_size", info->m_dwFLASHROMSize},
         {"port", m_Options.strPort}, {"line", m_pSession->PortName()}, {"connection", m_Options.strConnection},
         {"baud", m_Options.nBaud}, {"erase", m_Options.strErase}, {"connected", m_bConnected},
         {"identity", m_Identity}};
    nlohmann::json blocks = nlohmann::json::array();
    std::size_t i = 0;
    for (CObject* o : info->m_EraseBlocks) {
        auto* b = static_cast<CBlockItem*>(o);
        blocks.push_back({{"name", b->m_strBlockName.GetString()}, {"start", static_cast<DWORD>(b->m_lStart)},
                          {"size", b->m_lSize}, {"state", i < m_BlockStates.size() ? m_BlockStates[i] : "unknown"}});
        ++i;
    }
    d["blocks"] = blocks;
    return d;
}

nlohmann::json CUiStation::ImageJson()
{
    nlohmann::json ranges = nlohmann::json::array();
    const std::vector<SImageRange> list = CImageFiles::Ranges(m_pImage.get());
    for (const SImageRange& r : list)
        ranges.push_back({r.first, r.last});
    return {{"ranges", ranges}, {"bytes", CImageFiles::DataBytes(list)}, {"files", m_Files},
            {"undo", m_UndoNames}, {"redo", m_RedoNames}, {"readonly", m_Document.IsDocumentBusy() != 0},
            {"last_undo_redo", m_pImage->GetLastUndoRedoAddress()}};
}

void CUiStation::PublishImage()
{
    nlohmann::json image;
    {
        std::lock_guard lock(m_imageMutex);
        image = ImageJson();
    }
    m_events.Publish({{"event", "image"}, {"image", image}});
}

void CUiStation::PublishDevice()
{
    nlohmann::json device;
    {
        std::lock_guard lock(m_deviceMutex);
        device = DeviceJson();
    }
    m_events.Publish({{"event", "device"}, {"device", device}});
}

nlohmann::json CUiStation::State()
{
    nlohmann::json s;
    {
        std::lock_guard lock(m_imageMutex);
        s["image"] = ImageJson();
    }
    {
        std::lock_guard lock(m_deviceMutex);
        s["device"] = DeviceJson();
    }
    std::lock_guard lock(m_opMutex);
    s["running"] = m_Running.pOperation ? nlohmann::json(m_Running.strName) : nlohmann::json(nullptr);
    s["question"] = m_host.PendingQuestion();
    s["job"] = {{"units", m_nUnits}, {"passed", m_nPassed}, {"failed", m_nFailed}, {"results", m_Results}};
    s["seq"] = m_events.LastSeq();
    return s;
}

SUiReply CUiStation::Open(const nlohmann::json& request)
{
    const std::string path = Text(request, "path");
    if (path.empty())
        return SUiReply::Fail(400, "name the file to open");
    eImageFormat format = ifAuto;
    if (const std::string name = Text(request, "format"); !name.empty() && name != "auto" &&
                                                         (format = CImageFiles::FormatFromName(name)) == ifAuto)
        return SUiReply::Fail(400, "unknown format '" + name + "'");
    DWORD base = 0;
    if (request.contains("base") && !Number(request, "base", &base))
        return SUiReply::Fail(400, "the base is not an address");
    {
        std::lock_guard lock(m_imageMutex);
        if (m_Document.IsDocumentBusy())
            return SUiReply::Fail(409, g_szDocumentBusy);
        std::string error;
        // Loads merge into what is there; a file that fails leaves the image as it was.
        if (!CImageFiles::Load(path, format, base, m_pImage.get(), &m_Sink, &error))
            return SUiReply::Fail(400, error);
        m_UndoNames.clear();
        m_RedoNames.clear();
        m_Files.push_back(path);
    }
    PublishImage();
    std::lock_guard lock(m_imageMutex);
    return {200, ImageJson()};
}

SUiReply CUiStation::Save(const nlohmann::json& request)
{
    const std::string path = Text(request, "path");
    if (path.empty())
        return SUiReply::Fail(400, "name the file to save");
    eImageFormat format = ifAuto;
    if (const std::string name = Text(request, "format"); !name.empty() && name != "auto" &&
                                                         (format = CImageFiles::FormatFromName(name)) == ifAuto)
        return SUiReply::Fail(400, "unknown format '" + name + "'");
    if (format == ifAuto)
        format = CImageFiles::FormatFromPath(path);
    std::lock_guard lock(m_imageMutex);
    const std::vector<SImageRange> ranges = CImageFiles::Ranges(m_pImage.get());
    if (ranges.empty())
        return SUiReply::Fail(400, "the image holds no data to save");
    std::string error;
    if (!CImageFiles::Save(path, format, m_pImage.get(), 0, 0xFFFFFFFF, &m_Sink, &error))
        return SUiReply::Fail(400, error);
    return {200, {{"saved", path}, {"format", CImageFiles::FormatName(format)}, {"bytes", CImageFiles::DataBytes(ranges)}}};
}

SUiReply CUiStation::NewImage()
{
    {
        std::lock_guard lock(m_imageMutex);
        if (m_Document.IsDocumentBusy())
            return SUiReply::Fail(409, g_szDocumentBusy);
        m_pImage = std::make_unique<CFLASHBinaryImage>(0, &m_Document);
        m_UndoNames.clear();
        m_RedoNames.clear();
        m_Files.clear();
    }
    PublishImage();
    return {200, {{"cleared", true}}};
}

SUiReply CUiStation::Bytes(unsigned long nFrom, unsigned long nLength)
{
    if (nLength == 0 || nLength > kMaxBytesPerRequest || nFrom + static_cast<unsigned long long>(nLength) > 0x100000000ULL)
        return SUiReply::Fail(400, "ask for 1 to 65536 bytes inside the 32-bit address space");
    std::vector<BYTE> bytes(nLength, 0xFF);
    {
        std::lock_guard lock(m_imageMutex);
        // Below the image's first address nothing is stored: those bytes stay H'FF.
        const DWORD start = m_pImage->GetStartAddress();
        const unsigned long skip = nFrom < start ? std::min<unsigned long>(start - nFrom, nLength) : 0;
        if (skip < nLength)
            m_pImage->GetData(static_cast<DWORD>(nFrom + skip), bytes.data() + skip, static_cast<DWORD>(nLength - skip));
    }
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(nLength * 2);
    for (BYTE b : bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return {200, {{"from", nFrom}, {"data", hex}}};
}

SUiReply CUiStation::Edit(const nlohmann::json& request)
{
    DWORD address = 0, value = 0;
    if (!Number(request, "address", &address) || !Number(request, "value", &value) || value > 0xFF)
        return SUiReply::Fail(400, "an edit takes an address and a byte value (0-255)");
    {
        std::lock_guard lock(m_imageMutex);
        if (m_Document.IsDocumentBusy())
            return SUiReply::Fail(409, g_szDocumentBusy);
        const BYTE byte = static_cast<BYTE>(value);
        // One byte is one run: one step of the history.
        if (!m_pImage->SetData(address, &byte, 1))
            return SUiReply::Fail(400, "the image refused the byte at " + Hex(address));
        m_UndoNames.push_back("Edit byte at " + Hex(address));
        m_RedoNames.clear();
    }
    PublishImage();
    return {200, {{"edited", address}}};
}

SUiReply CUiStation::Fill(const nlohmann::json& request, bool bClear)
{
    DWORD from = 0, to = 0, value = 0xFF;
    if (!Number(request, "from", &from) || !Number(request, "to", &to) || to < from ||
        (!bClear && (!Number(request, "value", &value) || value > 0xFF)))
        return SUiReply::Fail(400, bClear ? "a clear takes from and to (from <= to)"
                                          : "a fill takes from, to (from <= to) and a byte value (0-255)");
    const unsigned long long length = static_cast<unsigned long long>(to) - from + 1;
    if (length > kMaxFill)
        return SUiReply::Fail(400, "a fill or clear covers at most 16 MiB at a time");
    {
        std::lock_guard lock(m_imageMutex);
        if (m_Document.IsDocumentBusy())
            return SUiReply::Fail(409, g_szDocumentBusy);
        // One value throughout is one run (data, or blank for H'FF): one step of the history.
        const std::vector<BYTE> bytes(length, static_cast<BYTE>(value));
        if (!m_pImage->SetData(from, bytes.data(), static_cast<DWORD>(length)))
            return SUiReply::Fail(400, "the image refused the range");
        char value_text[8];
        std::snprintf(value_text, sizeof value_text, "H'%02X", static_cast<unsigned>(value));
        m_UndoNames.push_back((bClear ? "Clear " : "Fill ") + Hex(from) + " - " + Hex(to) +
                              (bClear ? "" : std::string(" with ") + value_text));
        m_RedoNames.clear();
    }
    PublishImage();
    return {200, {{"from", from}, {"to", to}}};
}

SUiReply CUiStation::Undo(bool bRedo)
{
    std::string name;
    {
        std::lock_guard lock(m_imageMutex);
        if (m_Document.IsDocumentBusy())
            return SUiReply::Fail(409, g_szDocumentBusy);
        std::vector<std::string>& from = bRedo ? m_RedoNames : m_UndoNames;
        std::vector<std::string>& to = bRedo ? m_UndoNames : m_RedoNames;
        if (from.empty())
            return SUiReply::Fail(409, bRedo ? "nothing to redo" : "nothing to undo");
        if (bRedo)
            m_pImage->Redo();
        else
            m_pImage->Undo();
        name = from.back();
        from.pop_back();
        to.push_back(name);
    }
    PublishImage();
    std::lock_guard lock(m_imageMutex);
    return {200, {{bRedo ? "redone" : "undone", name}, {"address", m_pImage->GetLastUndoRedoAddress()}}};
}
