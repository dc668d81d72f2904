#include "Commands.h"

#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>
#include <unistd.h>

#include "ExitCode.h"
#include "ImageFiles.h"
#include "LibraryMessages.h"
#include "Session.h"
#include "comms/SerialPortInfo.h"
#include "devicedb/BlockItem.h"
#include "platform/MessageCatalogue.h"
#include "platform/Register.h"
#include "platform/SettingsKeys.h"
#include "programmer/FLASHProgrammer.h"
#include "programmer/OTPConfig.h"
#include "sim/SimTarget.h"
#include "version/Version.h"

namespace {
constexpr const char* kVerifyQuestion = "Would you like to perform read-back verification?";
constexpr const char* kNotSRecordNotice = "This file is not an SRecord.";
constexpr const char* kImageFullNotice = "No more memory can be allocated";

std::string Hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

nlohmann::json RangesJson(const std::vector<SImageRange>& ranges)
{
    nlohmann::json list = nlohmann::json::array();
    for (const SImageRange& r : ranges)
        list.push_back({{"start", r.first}, {"end", r.last}, {"length", static_cast<unsigned long long>(r.last) - r.first + 1}});
    return list;
}

// Reads the command's IMAGE (with --in-format and --base) into a dynamic image.
int LoadInput(SCommandContext& c, CBinaryImage& image, CStatusUpdate* pSink)
{
    DWORD base = 0;
    if (!ParseNumber(c.o.strBase, &base)) {
        c.console.Error("--base '" + c.o.strBase + "' is not an address", "write it as 0x8000, H'8000 or 32K");
        return ecUsage;
    }
    eImageFormat format = ifAuto;
    if (!c.o.strInFormat.empty() && (format = CImageFiles::FormatFromName(c.o.strInFormat)) == ifAuto) {
        c.console.Error("--in-format '" + c.o.strInFormat + "' is not a format", "use srec, fpr, cde, hex or raw");
        return ecUsage;
    }
    c.host.SetFixedAnswer(kNotSRecordNotice, qtOK, "");
    // The image model says so once per record it cannot keep: one message instead, and no partial image.
    c.host.SetFixedAnswer(kImageFullNotice, qtOK, "");
    const int fullBefore = c.host.FixedAnswerCount(kImageFullNotice);
    std::string error;
    const bool loaded = CImageFiles::Load(c.o.strImage, format, base, &image, pSink, &error, c.o.bLenient);
    if (loaded && c.host.FixedAnswerCount(kImageFullNotice) != fullBefore) {
        c.console.Error("'" + c.o.strImage + "' holds more data ranges than the image model can keep",
                        "split the image into parts and load them one at a time");
        return ecFile;
    }
    if (!loaded) {
        // The format hint only helps a file that exists but did not read as S-records.
        std::error_code ec;
        const bool bExists = std::filesystem::is_regular_file(c.o.strImage, ec);
        // Only for a file that is no S-record at all (not a strictness fault or a size refusal).
        c.console.Error(error, bExists && CImageFiles::FormatFromPath(c.o.strImage) == ifSRecord &&
                                       error.find("not a valid S-record file (") != std::string::npos
                                   ? "raw binary needs --in-format raw (and --base ADDR); Intel HEX is read from .hex files"
                                   : "");
        return ecFile;
    }
    return ecSuccess;
}

} // namespace

// The image the programmer writes: FLASH-sized, checked to lie inside the FLASH.
int PrepareImage(SCommandContext& c, std::unique_ptr<CFLASHBinaryImage>& out, std::vector<SImageRange>& ranges)
{
    CFLASHBinaryImage staging(0, nullptr);
    if (const int code = LoadInput(c, staging, &c.pSession->Sink()); code != ecSuccess)
        return code;
    ranges = CImageFiles::Ranges(&staging);
    if (ranges.empty()) {
        c.console.Error("'" + c.o.strImage + "' holds no data");
        return ecFile;
    }
    CFLASHProgrammer* programmer = c.pSession->Programmer();
    const DWORD size = programmer->GetFLASHSize();
    if (size == 0 || ranges.back().last >= size) {
        c.console.Error("'" + c.o.strImage + "' reaches " + Hex(ranges.back().last) + ", beyond the end of FLASH (" +
                            Hex(size ? size - 1 : 0) + ")",
                        "check the image was built for this device (-d), or give a raw file's --base");
        return ecFile;
    }
    out.reset(programmer->CreateImage());
    std::vector<BYTE> buffer(1 << 16);
    for (const SImageRange& r : ranges) {
        for (unsigned long long a = r.first; a <= r.last;) {
            const DWORD n = static_cast<DWORD>(std::min<unsigned long long>(buffer.size(), r.last - a + 1));
            staging.GetData(static_cast<DWORD>(a), buffer.data(), n);
            out->SetDataFromFile(static_cast<DWORD>(a), n, buffer.data());
            a += n;
        }
    }
    out->ResetUndoRedoMemory();
    c.data["image"] = c.o.strImage;
    c.data["bytes"] = CImageFiles::DataBytes(ranges);
    c.data["ranges"] = RangesJson(ranges);
    return ecSuccess;
}

int WriteFailureCode(CSession& s)
{
    return s.FailureCode(StepExitCode(s.Sink(), ecWrite));
}

namespace {
const char* ProtocolName(long protocol)
{
    return protocol == 1 ? "Protocol B" : "classic";
}
} // namespace

bool CommandNeedsTarget(const std::string& command)
{
    return command == "program" || command == "verify" || command == "read" || command == "erase" ||
           command == "blank" || command == "blocks" || command == "info";
}

int CheckCommandLine(SCommandContext& c)
{
    DWORD ignored = 0;
    for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"--base", c.o.strBase},
                                      {"--start", c.o.strStart}, {"--length", c.o.strLength}}) {
        if (!ParseNumber(value, &ignored)) {
            c.console.Error(std::string(name) + " '" + value + "' is not a number",
                            "write it as 0x8000, H'8000, 8000h, 32768 or 32K");
            return ecUsage;
        }
    }
    for (const auto& [name, value] : {std::pair<const char*, const std::string&>{"--format", c.o.strFormat},
                                      {"--in-format", c.o.strInFormat}}) {
        if (!value.empty() && CImageFiles::FormatFromName(value) == ifAuto) {
            c.console.Error(std::string(name) + " '" + value + "' is not a format", "use srec, fpr, cde, hex or raw");
            return ecUsage;
        }
    }
    // A missing image stops the run before any port is opened or target started.
    if (c.o.strCommand == "program" || c.o.strCommand == "verify") {
        std::string error;
        if (!CImageFiles::CanRead(c.o.strImage, &error)) {
            c.console.Error(error);
            return ecFile;
        }
    }
    return ecSuccess;
}

int CmdVersion(SCommandContext& c)
{
    const CNorvaneLibVersion* v = GetVersionNorvane();
    c.console.Print(Format("%s %u.%u (build %u)", v->m_strDescription.GetString(), v->m_nMajor, v->m_nMinor,
                           static_cast<unsigned>(v->m_nBuild)));
    c.console.Print(std::string("Built:    ") + v->m_strBuildDate.GetString());
    c.console.Print(std::string("Notice:   ") + v->m_strLegal.GetString());
    std::string channels;
    nlohmann::json list = nlohmann::json::array();
    for (int i = 0; i < v->GetSupportedCommsCount(); ++i) {
        channels += std::string(" ") + v->GetCommsName(i).GetString();
        list.push_back(v->GetCommsName(i).GetString());
    }
    c.console.Print("Channels:" + channels);
    c.console.Print(std::string("Locale:   ") + (IsAJapanInstall() ? "Japan" : "default"));
    c.console.Print(std::string("Settings: ") + CRegister::GetStorePath().GetString());
    c.data = {{"description", v->m_strDescription.GetString()}, {"major", v->m_nMajor}, {"minor", v->m_nMinor},
              {"build", v->m_nBuild}, {"built", v->m_strBuildDate.GetString()}, {"channels", list},
              {"settings", CRegister::GetStorePath().GetString()}};
    return ecSuccess;
}

int CmdMessages(SCommandContext& c)
{
    c.data = nlohmann::json::array();
    for (const SCatalogueEntry& e : GetMessageCatalogue()) {
        c.console.Print(Format("%5u  %s", static_cast<unsigned>(e.nID), e.pszText));
        c.data.push_back({{"id", e.nID}, {"text", e.pszText}});
    }
    return ecSuccess;
}

int CmdPorts(SCommandContext& c)
{
    const std::vector<CSerialPortInfo> ports = CSerialPortInfo::Enumerate();
    c.data = nlohmann::json::array();
    if (ports.empty())
        c.console.Note("No serial ports found. A USB adapter shows up as /dev/ttyUSB0 or /dev/ttyACM0 once plugged in; "
                       "use -p sim for the virtual target.");
    for (const CSerialPortInfo& p : ports) {
        std::string line = Format("%-16s %s", p.m_strDevice.GetString(), p.Describe().GetString());
        if (!p.m_strAlias.IsEmpty())
            line += std::string("  [") + p.m_strAlias.GetString() + "]";
        const bool writable = ::access(p.m_strDevice.GetString(), R_OK | W_OK) == 0;
        if (!writable)
            line += "  (no access: join the port's group, e.g. dialout)";
        c.console.Print(line);
        c.data.push_back({{"device", p.m_strDevice.GetString()}, {"description", p.Describe().GetString()},
                          {"alias", p.m_strAlias.GetString()}, {"usb", p.IsUSB()}, {"access", writable}});
    }
    return ecSuccess;
}

int CmdImageInfo(SCommandContext& c)
{
    CConsoleSink sink(c.console, c.console.GetVerbosity() != vbVerbose);
    CFLASHBinaryImage image(0, nullptr);
    if (const int code = LoadInput(c, image, &sink); code != ecSuccess)
        return code;
    const std::vector<SImageRange> ranges = CImageFiles::Ranges(&image);
    const unsigned long long bytes = CImageFiles::DataBytes(ranges);
    const DWORD crc = CImageFiles::Checksum(&image, ranges);
    const eImageFormat format =
        c.o.strInFormat.empty() ? CImageFiles::FormatFromPath(c.o.strImage) : CImageFiles::FormatFromName(c.o.strInFormat);
    c.console.Print("File:    " + c.o.strImage);
    c.console.Print(std::string("Format:  ") + CImageFiles::FormatName(format));
    c.console.Print(Format("Data:    %llu bytes in %zu range%s", bytes, ranges.size(), ranges.size() == 1 ? "" : "s"));
    if (!ranges.empty())
        c.console.Print("Span:    " + Hex(ranges.front().first) + " - " + Hex(ranges.back().last));
    c.console.Print(Format("CRC-32:  %08x", crc));
    for (const SImageRange& r : ranges)
        c.console.Print(Format("  %s - %s  %10llu bytes", Hex(r.first).c_str(), Hex(r.last).c_str(),
                               static_cast<unsigned long long>(r.last) - r.first + 1));
    c.data = {{"file", c.o.strImage}, {"format", CImageFiles::FormatName(format)}, {"bytes", bytes},
              {"crc32", Format("%08x", crc)}, {"ranges", RangesJson(ranges)}};
    return ecSuccess;
}

int CmdImageConvert(SCommandContext& c)
{
    CConsoleSink sink(c.console, c.console.GetVerbosity() != vbVerbose);
    CFLASHBinaryImage image(0, nullptr);
    if (const int code = LoadInput(c, image, &sink); code != ecSuccess)
        return code;
    eImageFormat out = ifAuto;
    if (!c.o.strFormat.empty() && (out = CImageFiles::FormatFromName(c.o.strFormat)) == ifAuto) {
        c.console.Error("--format '" + c.o.strFormat + "' is not a format", "use srec, fpr, cde, hex or raw");
        return ecUsage;
    }
    if (out == ifAuto)
        out = CImageFiles::FormatFromPath(c.o.strConvertOut);
    const std::vector<SImageRange> ranges = CImageFiles::Ranges(&image);
    std::string error;
    if (!CImageFiles::Save(c.o.strConvertOut, out, &image, 0, 0xFFFFFFFF, &sink, &error)) {
        c.console.Error(error);
        return ecFile;
    }
    const unsigned long long bytes = CImageFiles::DataBytes(ranges);
    c.console.Note(Format("Wrote %llu bytes in %zu range%s to %s (%s)", bytes, ranges.size(),
                          ranges.size() == 1 ? "" : "s", c.o.strConvertOut.c_str(), CImageFiles::FormatName(out)));
    if (out == ifRaw && !ranges.empty())
        c.console.Note("The raw file starts at " + Hex(ranges.front().first) + "; read it back with --base " +
                       Hex(ranges.front().first));
    c.data = {{"input", c.o.strImage}, {"output", c.o.strConvertOut}, {"format", CImageFiles::FormatName(out)},
              {"bytes", bytes}, {"ranges", RangesJson(ranges)}};
    return ecSuccess;
}

int CmdSim(SCommandContext& c, const std::function<bool()>& stop)
{
    std::string definition = c.o.strDevice.empty() ? CSession::DefaultDefinition() : c.o.strDevice;
    CSimTarget target;
    CString error;
    if (!target.Load(definition.c_str(), &error)) {
        c.console.Error(std::string("the virtual target cannot start: ") + error.GetString(),
                        "use a definition with a [Simulator] section (see docs/virtual-target.md)");
        return ecFile;
    }
    if (!target.Start(&error)) {
        c.console.Error(std::string("the virtual target cannot start: ") + error.GetString());
        return ecConnection;
    }
    const std::string port = target.GetPortName().GetString();
    if (!c.o.strLink.empty()) {
        std::error_code ec;
        std::filesystem::remove(c.o.strLink, ec);
        std::filesystem::create_symlink(port, c.o.strLink, ec);
        if (ec) {
            target.Stop();
            c.console.Error("cannot make the link '" + c.o.strLink + "': " + ec.message());
            return ecFile;
        }
    }
    // The port is the first line on stdout so that scripts can read it.
    if (c.console.GetMode() == omJson)
        c.console.Event({{"event", "sim"}, {"port", port}, {"device", target.GetDefinition().m_strName.GetString()}});
    else
        std::printf("%s\n", port.c_str());
    std::fflush(stdout);
    c.console.Note("Serving " + std::string(target.GetDefinition().m_strName.GetString()) +
                   "; point zflash at it with -p " + (c.o.strLink.empty() ? port : c.o.strLink) +
                   ". Ctrl-C stops.");
    while (!stop())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    target.Stop();
    if (!c.o.strLink.empty()) {
        std::error_code ec;
        std::filesystem::remove(c.o.strLink, ec);
    }
    int code = ecSuccess;
    if (!c.o.strTrace.empty() && !target.WriteTranscript(c.o.strTrace.c_str(), &error)) {
        c.console.Error(std::string("cannot write the transcript: ") + error.GetString());
        code = ecFile;
    }
    c.data = {{"port", port}};
    return code;
}

int CmdProgram(SCommandContext& c)
{
    CSession& s = *c.pSession;
    std::unique_ptr<CFLASHBinaryImage> image;
    std::vector<SImageRange> ranges;
    if (const int code = PrepareImage(c, image, ranges); code != ecSuccess)
        return code;
    c.host.SetFixedAnswer(kVerifyQuestion, c.o.bVerify ? qtYes : qtNo, c.o.bVerify ? "--verify" : "--no-verify");
    if (const int code = s.Connect(); code != ecSuccess)
        return code;
    CFLASHProgrammer* p = s.Programmer();
    bool ok;
    if (!c.o.strJobLog.empty()) {
        COTPConfig job(c.o.strJobLog.c_str(), c.o.strJob.c_str(), c.o.strOperator.c_str(), c.o.bTimestamps);
        ok = s.Run([&] { return p->OTPWriteFLASH(image.get(), &job); });
    } else {
        ok = s.Run([&] { return p->WriteImage(image.get()); });
    }
    if (!ok || s.WasCancelled())
        return WriteFailureCode(s);
    if (c.host.WasUnanswered())
        return ecAnswerNeeded;
    if (!SawMessage(s.Sink(), lmWritten)) {
        // The write stopped without a failure: an erase question was answered Cancel.
        c.console.Error("programming was cancelled before the image was written");
        return ecCancelled;
    }
    bool verified = SawMessage(s.Sink(), lmVerified) != nullptr;
    // The settings file can switch the library's read-back off; an explicit --verify wins.
    if (!verified && c.o.bVerify && c.o.bVerifyGiven && Settings::ReadbackVerify.Read() == 2) {
        ok = s.Run([&] { return p->ReadbackVerify(image.get()); });
        if (!ok || s.WasCancelled())
            return WriteFailureCode(s);
        verified = SawMessage(s.Sink(), lmVerified) != nullptr;
    }
    c.data["verified"] = verified;
    const std::string summary = Format("Programmed %llu bytes of %s into %s%s", CImageFiles::DataBytes(ranges),
                                       c.o.strImage.c_str(), p->GetDeviceName().GetString(),
                                       verified ? ", verified" : "");
    s.Close(); // the summary comes last, after the library has let the target go (p is gone now)
    c.console.Message(skSuccess, summary.c_str(), 0);
    return ecSuccess;
}

int CmdVerify(SCommandContext& c)
{
    CSession& s = *c.pSession;
    std::unique_ptr<CFLASHBinaryImage> image;
    std::vector<SImageRange> ranges;
    if (const int code = PrepareImage(c, image, ranges); code != ecSuccess)
        return code;
    if (const int code = s.Connect(); code != ecSuccess)
        return code;
    CFLASHProgrammer* p = s.Programmer();
    const bool ok = s.Run([&] { return p->ReadbackVerify(image.get()); });
    if (s.WasCancelled())
        return ecCancelled;
    if (!ok)
        return s.FailureCode(StepExitCode(s.Sink(), ecVerify));
    c.data["verified"] = true;
    return ecSuccess;
}

namespace {
// The classic read carries no sum: a byte bent, lost or doubled on the line
// reaches the file unnoticed. So the range is read again, and the result
// stands once two reads agree (at most three).
int ConfirmRead(SCommandContext& c, std::unique_ptr<CFLASHBinaryImage>& image, DWORD start, DWORD length)
{
    CSession& s = *c.pSession;
    CFLASHProgrammer* p = s.Programmer();
    const DWORD last = start + length - 1;
    std::vector<std::vector<BYTE>> reads{CImageFiles::Extract(image.get(), start, last)};
    c.console.Note("Reading again to confirm the data (this read has no check sum)");
    while (reads.size() < 3) {
        CFLASHBinaryImage* raw = nullptr;
        s.Run([&] {
            raw = p->ReadImage(1, nullptr, start, length);
            return raw != nullptr;
        });
        std::unique_ptr<CFLASHBinaryImage> again(raw);
        if (s.WasCancelled())
            return ecCancelled;
        if (!again)
            return s.FailureCode(ecRead);
        std::vector<BYTE> bytes = CImageFiles::Extract(again.get(), start, last);
        for (const std::vector<BYTE>& earlier : reads)
            if (earlier == bytes) {
                image = std::move(again);
                return ecSuccess;
            }
        reads.push_back(std::move(bytes));
    }
    c.console.Error("three reads of " + Hex(start) + " + " + std::to_string(length) +
                        " bytes gave three different results: the line is not carrying the data faithfully",
                    "check the cable and the adapter, or try a lower rate with -b");
    return ecRead;
}
} // namespace

int CmdRead(SCommandContext& c)
{
    CSession& s = *c.pSession;
    DWORD start = 0, length = 0;
    if (!ParseNumber(c.o.strStart, &start) || !ParseNumber(c.o.strLength, &length)) {
        c.console.Error("--start and --length take numbers such as 0x8000, H'8000, 4096 or 32K");
        return ecUsage;
    }
    eImageFormat format = ifAuto;
    if (!c.o.strFormat.empty() && (format = CImageFiles::FormatFromName(c.o.strFormat)) == ifAuto) {
        c.console.Error("--format '" + c.o.strFormat + "' is not a format", "use srec, fpr, cde, hex or raw");
        return ecUsage;
    }
    CFLASHProgrammer* p = s.Programmer();
    const DWORD size = p->GetFLASHSize();
    if (length == 0 && start < size)
        length = size - start;
    if (start >= size || static_cast<unsigned long long>(start) + length > size) {
        c.console.Error("the range " + Hex(start) + " + " + std::to_string(length) + " bytes is outside the FLASH (" +
                            std::to_string(size) + " bytes)",
                        "'zflash blocks' shows the device's addresses");
        return ecUsage;
    }
    // A read can take minutes; find out first that its result has somewhere to go.
    const std::filesystem::path folder = std::filesystem::absolute(c.o.strOutput).parent_path();
    if (::access(folder.c_str(), W_OK) != 0) {
        c.console.Error("cannot write into '" + folder.string() + "': " + std::strerror(errno));
        return ecFile;
    }
    if (const int code = s.Connect(); code != ecSuccess)
        return code;
    CFLASHBinaryImage* raw = nullptr;
    s.Run([&] {
        raw = p->ReadImage(1, nullptr, start, length);
        return raw != nullptr;
    });
    std::unique_ptr<CFLASHBinaryImage> image(raw);
    if (s.WasCancelled())
        return ecCancelled;
    if (!image)
        return s.FailureCode(ecRead);
    if (p->GetDeviceInfo()->m_nProtocol == 0)
        if (const int code = ConfirmRead(c, image, start, length); code != ecSuccess)
            return code;
    std::string error;
    if (!CImageFiles::Save(c.o.strOutput, format, image.get(), start, start + length - 1, &s.Sink(), &error)) {
        c.console.Error(error);
        return ecFile;
    }
    c.console.Note(Format("Read %lu bytes from %s into %s", static_cast<unsigned long>(length), Hex(start).c_str(),
                          c.o.strOutput.c_str()));
    c.data = {{"output", c.o.strOutput}, {"start", start}, {"length", length}};
    return ecSuccess;
}

int CmdErase(SCommandContext& c)
{
    CSession& s = *c.pSession;
    if (!c.o.bAll && c.o.Blocks.empty()) {
        c.console.Error("erase needs --all or the names of blocks", "'zflash blocks' lists them");
        return ecUsage;
    }
    CFLASHProgrammer* p = s.Programmer();
    CObList chosen;
    for (const std::string& name : c.o.Blocks) {
        CBlockItem* found = nullptr;
        std::string known;
        for (CObject* o : p->GetDeviceInfo()->m_EraseBlocks) {
            auto* b = static_cast<CBlockItem*>(o);
            known += std::string(known.empty() ? "" : ", ") + b->m_strBlockName.GetString();
            if (b->m_strBlockName.CompareNoCase(name.c_str()) == 0)
                found = b;
        }
        if (!found) {
            c.console.Error("the device has no block '" + name + "'", "its blocks are " + known);
            return ecUsage;
        }
        chosen.AddTail(found);
    }
    if (const int code = s.Connect(); code != ecSuccess)
        return code;
    const bool ok = s.Run([&] { return c.o.bAll ? p->EraseFLASH() : p->EraseFLASHBlocks(&chosen); });
    if (s.WasCancelled())
        return ecCancelled;
    if (!ok)
        return s.FailureCode(ecErase);
    if (c.o.bAll)
        c.console.Message(skSuccess, "FLASH erased", 0);
    c.data = {{"all", c.o.bAll}, {"blocks", c.o.Blocks}};
    return ecSuccess;
}

int CmdBlank(SCommandContext& c)
{
    CSession& s = *c.pSession;
    if (const int code = s.Connect(); code != ecSuccess)
        return code;
    bool blank = false;
    const bool ok = s.Run([&] { return s.Programmer()->BlankCheck(&blank); });
    if (s.WasCancelled())
        return ecCancelled;
    if (!ok)
        return s.FailureCode(ecRead);
    c.data = {{"blank", blank}};
    return blank ? ecSuccess : ecNotBlank;
}

int CmdBlocks(SCommandContext& c)
{
    CSession& s = *c.pSession;
    if (const int code = s.Connect(); code != ecSuccess)
        return code;
    CFLASHProgrammer* p = s.Programmer();
    // Protocol B kernels do not report per-block use, and an auto-erasing boot leaves every block blank.
    const bool known = p->GetProtocol() != 1;
    c.console.Print(Format("%-10s %-10s %-10s %10s  %s", "BLOCK", "START", "END", "SIZE", "STATE"));
    c.data = nlohmann::json::array();
    for (CObject* o : p->GetDeviceInfo()->m_EraseBlocks) {
        auto* b = static_cast<CBlockItem*>(o);
        const DWORD start = static_cast<DWORD>(b->m_lStart);
        const DWORD end = start + static_cast<DWORD>(b->m_lSize) - 1;
        const char* state = !known ? "unknown" : b->m_bWritten ? "written" : "blank";
        c.console.Print(Format("%-10s %-10s %-10s %10ld  %s", b->m_strBlockName.GetString(), Hex(start).c_str(),
                               Hex(end).c_str(), static_cast<long>(b->m_lSize), state));
        c.data.push_back({{"name", b->m_strBlockName.GetString()}, {"start", start}, {"end", end},
                          {"size", b->m_lSize}, {"state", state}});
    }
    return ecSuccess;
}

int CmdInfo(SCommandContext& c)
{
    CSession& s = *c.pSession;
    CDeviceInfo* d = s.Definition();
    auto kernel = [&](const CString& entry) -> std::string {
        if (entry.IsEmpty())
            return "-";
        const std::string path = d->ResolvePath(entry).GetString();
        return path + (std::filesystem::exists(path) ? "" : "  (missing)");
    };
    c.console.Print("Definition:  " + s.DefinitionPath());
    c.console.Print(std::string("Device:      ") + d->m_strDeviceCode.GetString() + "  (" +
                    d->m_strProductCode.GetString() + ", " + d->m_strTechnology.GetString() + ")");
    c.console.Print(Format("FLASH:       %lu bytes in %d erase blocks", static_cast<unsigned long>(d->m_dwFLASHROMSize),
                           static_cast<int>(d->m_EraseBlocks.GetCount())));
    c.console.Print(Format("RAM:         %lu bytes", static_cast<unsigned long>(d->m_dwRAMSize)));
    c.console.Print(Format("Protocol:    %d (%s)", d->m_nProtocol, ProtocolName(d->m_nProtocol)));
    c.console.Print(Format("Baud rate:   %lu, BRR formula %s, clock %.4f MHz", static_cast<unsigned long>(d->m_dwBaudRate0),
                           d->m_strBRRFormula.GetString(), d->m_dEVBClock));
    c.console.Print(std::string("Auto erase:  ") + (d->m_bBOOTModeAutoErase ? "yes (the boot program erases)" : "no"));
    c.console.Print("uKernel:     " + kernel(d->m_strMicroKernel));
    c.console.Print("Main kernel: " + kernel(d->m_strMainKernel));
    c.console.Print("Port:        " + s.PortName() + "  (" + c.o.strConnection + ")");
    c.data = {{"definition", s.DefinitionPath()}, {"device", d->m_strDeviceCode.GetString()},
              {"flash_size", d->m_dwFLASHROMSize}, {"ram_size", d->m_dwRAMSize}, {"protocol", d->m_nProtocol},
              {"baud", d->m_dwBaudRate0}, {"blocks", d->m_EraseBlocks.GetCount()}, {"port", s.PortName()}};

    const int code = s.Connect();
    if (code != ecSuccess) {
        c.console.Print("Target:      not connected");
        return code;
    }
    CFLASHDevice* device = s.Programmer()->GetFLASHDevice();
    if (const CFLASHDeviceID* id = device ? device->GetDeviceID() : nullptr) {
        const BYTE* word = id->GetKernelWord();
        c.console.Print(Format("Kernel:      word %02X%02X, line size %u, work area %u, handshake 0x%02X",
                               word[0], word[1], id->GetLineSize(), id->GetKernelWorkArea(), id->GetHandshake()));
        c.console.Print(Format("Buffer:      %lu bytes at 0x%08lX", static_cast<unsigned long>(device->GetBufferSize()),
                               static_cast<unsigned long>(device->GetBufferAddress())));
        c.data["kernel"] = {{"word", Format("%02X%02X", word[0], word[1])}, {"line_size", id->GetLineSize()},
                            {"work_area", id->GetKernelWorkArea()}, {"handshake", id->GetHandshake()},
                            {"buffer_size", device->GetBufferSize()}};
    }
    return ecSuccess;
}
