// Bad input as a user meets it: every case is refused with its exit code and
// a message that says why, before a byte goes down the line (the virtual
// target's transcript stays empty, or the port does not exist).
#include <gmock/gmock.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "ExitCode.h"
#include "TestSupport.h"
#include "ToolProcess.h"

using ::testing::HasSubstr;
using zftest::SourcePath;

namespace {
struct SBadInput
{
    const char* name;
    std::vector<std::string> args; // "{dir}" stands for the case's folder
    int code;
    const char* fragment;
};

// Named by what it holds, not by its pointers' values.
void PrintTo(const SBadInput& b, std::ostream* os)
{
    *os << b.name;
}

// An S1 record, or S3 (4-byte address) when wide.
std::string SRecord(DWORD address, std::vector<BYTE> data, bool wide = false)
{
    const int width = wide ? 4 : 2;
    std::vector<BYTE> b{static_cast<BYTE>(data.size() + width + 1)};
    for (int i = width; i-- > 0;)
        b.push_back(static_cast<BYTE>(address >> (8 * i)));
    b.insert(b.end(), data.begin(), data.end());
    unsigned sum = 0;
    std::string line = wide ? "S3" : "S1";
    char hex[3];
    for (BYTE x : b) {
        std::snprintf(hex, sizeof hex, "%02X", x);
        line += hex;
        sum += x;
    }
    std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFF);
    return line + hex + "\n";
}

// The bundled ZT31F256 definition with one line replaced.
std::string Definition(const std::string& from, const std::string& to)
{
    return zftest::DefinitionText("ZT31F256.ini", from, to);
}

// The transcript's byte lines (notes have "---" for a direction).
std::string BytesIn(const std::string& transcript)
{
    std::istringstream lines(transcript);
    std::string bytes;
    for (std::string line, ms, dir; std::getline(lines, line);) {
        std::istringstream fields(line);
        if (line.starts_with("#") || !(fields >> ms >> dir) || dir == "---")
            continue;
        bytes += line + "\n";
    }
    return bytes;
}

void Write(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// The files the cases name, made once per case in its own folder.
void MakeFiles(const zftest::TempDir& dir)
{
    const std::string blank16 = SRecord(0, std::vector<BYTE>(16, 1));
    Write(dir.File("nonhex.mot"), "S1130000000102030405060708090A0B0C0D0EZF74\nS9030000FC\n");
    Write(dir.File("trailing.mot"), blank16.substr(0, blank16.size() - 1) + "00\nS9030000FC\n");
    Write(dir.File("clash.mot"), blank16 + SRecord(8, {2}) + "S9030000FC\n");
    Write(dir.File("same.mot"), blank16 + SRecord(8, {1}) + "S9030000FC\n");
    Write(dir.File("trailing.hex"), ":0100000001FE00\n:00000001FF\n");
    Write(dir.File("clash.hex"), ":0100000001FE\n:0100000002FD\n:00000001FF\n");
    std::string many;
    for (DWORD i = 0; i < 140000; ++i)
        many += SRecord(i * 4, {1}, true);
    Write(dir.File("scattered.mot"), many + "S70500000000FA\n");
    // Sparse: the size is there without the bytes.
    for (const auto& [name, size] : {std::pair{"huge.bin", 48ULL << 20}, {"huge.hex", 200ULL << 20}})
        if (::truncate((Write(dir.File(name), ""), dir.File(name)).c_str(), static_cast<off_t>(size)) != 0)
            std::abort();
    ::mkfifo(dir.File("fifo.mot").c_str(), 0600);
    ::mkdir(dir.File("folder").c_str(), 0700);
    Write(dir.File("negative.ini"), Definition("FLASH ROM Size = 262144", "FLASH ROM Size = -262144"));
    Write(dir.File("word.ini"), Definition("RAM Size = 8192", "RAM Size = lots"));
    Write(dir.File("count.ini"), Definition("Erase Block Count = 12", "Erase Block Count = 100000"));
    Write(dir.File("clock.ini"), Definition("EVB Clock MHz = 7.3728", "EVB Clock MHz = fast"));
    Write(dir.File("protocol.ini"), Definition("Protocol = 0", "Protocol = 7"));
    Write(dir.File("order.ini"), Definition("Start (Hex) = 1000", "Start (Hex) = 800"));
    Write(dir.File("beyond.ini"), Definition("Start (Hex) = 30000\nSize (Hex) = 10000", "Start (Hex) = 30000\nSize (Hex) = 20000"));
    Write(dir.File("zero.ini"), Definition("Start (Hex) = 2000\nSize (Hex) = 1000", "Start (Hex) = 2000\nSize (Hex) = 0"));
    Write(dir.File("kernel.ini"), Definition("zt31/zt31_main.bin", "zt31/no_such_kernel.bin"));
    Write(dir.File("module.ini"), Definition("zt31/zt31_write.bin", "zt31"));
}

const SBadInput kCases[] = {
    {"CharacterDeviceAsRawImage", {"program", "/dev/zero", "--in-format", "raw"}, ecFile, "is a character device"},
    {"CharacterDeviceForImageInfo", {"image", "info", "/dev/zero", "--in-format", "raw"}, ecFile, "is a character device"},
    {"FifoAsImage", {"program", "{dir}/fifo.mot"}, ecFile, "is a FIFO"},
    {"FolderAsImage", {"image", "convert", "{dir}/folder", "{dir}/out.hex"}, ecFile, "is a folder"},
    {"RawFileLargerThanAnyDevice", {"image", "convert", "{dir}/huge.bin", "{dir}/out.hex"}, ecFile, "is 48 MiB"},
    {"HexFileLargerThanAnyDevice", {"program", "{dir}/huge.hex"}, ecFile, "at most 160 MiB of text"},
    {"MoreRangesThanTheImageModelHolds", {"image", "convert", "{dir}/scattered.mot", "{dir}/out.hex"}, ecFile,
     "more data ranges than the image model can keep"},
    {"SRecordNonHexDigit", {"program", "{dir}/nonhex.mot"}, ecFile, "line 1: 'Z' is not a hexadecimal digit"},
    {"SRecordCharactersAfterChecksum", {"program", "{dir}/trailing.mot"}, ecFile, "line 1: characters after the checksum"},
    {"SRecordTwoValuesForOneAddress", {"program", "{dir}/clash.mot"}, ecFile,
     "line 2: a second, different value for address 0x00000008"},
    {"SRecordClashReadLeniently", {"image", "info", "{dir}/clash.mot", "--lenient"}, ecSuccess, "16 bytes in 1 range"},
    {"SRecordSameValueTwiceIsFine", {"image", "info", "{dir}/same.mot"}, ecSuccess, "16 bytes in 1 range"},
    {"HexCharactersAfterChecksum", {"program", "{dir}/trailing.hex"}, ecFile, "line 1: characters after the checksum"},
    {"HexTwoValuesForOneAddress", {"image", "info", "{dir}/clash.hex"}, ecFile, "line 2: a second, different value"},
    {"FolderAsDefinition", {"-d", "{dir}/folder", "blocks"}, ecFile, "is a folder, not a file"},
    {"DeviceFileAsDefinition", {"-d", "/dev/null", "blocks"}, ecFile, "is a character device, not a file"},
    {"NegativeFlashSize", {"-d", "{dir}/negative.ini", "program", SourcePath("examples/blinky.mot")}, ecFile,
     "\"FLASH ROM Size\" = '-262144' is not a whole number"},
    {"WordForRamSize", {"-d", "{dir}/word.ini", "blocks"}, ecFile, "\"RAM Size\" = 'lots'"},
    {"AbsurdBlockCount", {"-d", "{dir}/count.ini", "blocks"}, ecFile, "\"Erase Block Count\" = '100000'"},
    {"ClockNotANumber", {"-d", "{dir}/clock.ini", "blocks"}, ecFile, "\"EVB Clock MHz\" = 'fast'"},
    {"UnknownProtocol", {"-d", "{dir}/protocol.ini", "blocks"}, ecFile, "\"Protocol\" = '7'"},
    {"BlocksOutOfOrder", {"-d", "{dir}/order.ini", "blocks"}, ecFile, "[Erase Block 1] starts at 800, inside or before"},
    {"BlockBeyondFlash", {"-d", "{dir}/beyond.ini", "blocks"}, ecFile, "[Erase Block 11] ends at 4FFFF, beyond the FLASH"},
    {"ZeroSizedBlock", {"-d", "{dir}/zero.ini", "blocks"}, ecFile, "[Erase Block 2] \"Size (Hex)\" = '0'"},
    {"MissingKernel", {"-d", "{dir}/kernel.ini", "blocks"}, ecFile, "\"Main Kernel\" names"},
    {"FolderAsModule", {"-d", "{dir}/module.ini", "blocks"}, ecFile, "\"Write module\" names"},
    {"ProtocolBThroughTheBoard", {"-d", SourcePath("devices/ZT52F128.ini"), "-c", "board-boot", "blocks"}, ecUsage,
     "cannot be connected through the Kivu board"},
    {"MissingPort", {"-p", "/nonexistent/ttyUSB9", "blocks"}, ecConnection, "No such file or directory"},
    {"PortThatIsNoTerminal", {"-p", "/dev/null", "blocks"}, ecConnection, "not a serial port or terminal"},
    {"PortThatIsAFolder", {"-p", "{dir}/folder", "blocks"}, ecConnection, "Is a directory"},
};

using BadInput = TToolRun<::testing::TestWithParam<SBadInput>>;
} // namespace

TEST_P(BadInput, IsRefusedWithItsReasonAndNothingSent)
{
    MakeFiles(dir);
    const auto& [name, caseArgs, code, fragment] = GetParam();
    std::vector<std::string> args;
    for (std::string a : caseArgs) {
        if (const size_t at = a.find("{dir}"); at != std::string::npos)
            a.replace(at, 5, dir.Path().string());
        args.push_back(a);
    }
    const bool sim = std::find(args.begin(), args.end(), "-p") == args.end();
    const std::string trace = dir.File("trace.txt");
    if (sim && args[0] != "image")
        args.insert(args.begin(), {"--trace", trace});
    const SToolResult r = RunZflash(args);
    EXPECT_EQ(r.code, code) << name << ": " << r.out << r.err;
    EXPECT_THAT(r.out + r.err, HasSubstr(fragment));
    if (code != ecSuccess) { // the reason is the error itself, not a note beside it
        const size_t at = r.err.rfind('\n', r.err.find(fragment)) + 1;
        EXPECT_EQ(r.err.compare(at, 7, "error: "), 0) << r.err;
        EXPECT_EQ(BytesIn(zftest::ReadAll(trace)), "") << "bytes went to the virtual target";
    }
}

INSTANTIATE_TEST_SUITE_P(Tool, BadInput, ::testing::ValuesIn(kCases),
                         [](const auto& p) { return std::string(p.param.name); });
