// The virtual target's parts on their own: rate arithmetic, the definition
// reader, kernel files and the transcript.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "ScriptedHost.h"
#include "TestSupport.h"
#include "sim/SimBaud.h"
#include "sim/SimDefinition.h"
#include "sim/SimKernelFile.h"
#include "sim/SimTranscript.h"

using namespace simtest;

TEST(SimBaud, MismatchedRatesGarbleEveryByte)
{
    EXPECT_TRUE(CSimBaud::RatesMatch(115200, 115200, 0));
    EXPECT_TRUE(CSimBaud::RatesMatch(115200, 118000, 3));
    EXPECT_FALSE(CSimBaud::RatesMatch(115200, 122880, 3));
    // A 0x00 sent at 9600 and sampled at 4800: low for three samples, then the stop bit.
    EXPECT_EQ(CSimBaud::Garble(0x00, 9600, 4800), 0xF8);
    // 0x55 sent at 4800 and sampled at 9600 reads every sender bit twice.
    EXPECT_EQ(CSimBaud::Garble(0x55, 4800, 9600), 0x66);
    const DWORD rates[] = {300, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (DWORD a : rates) {
        for (DWORD b : rates) {
            if (a == b)
                continue;
            for (int v = 0; v < 256; ++v)
                ASSERT_NE(CSimBaud::Garble(static_cast<BYTE>(v), a, b), v) << a << " " << b;
        }
    }
}

TEST(SimDefinition, SettingsOnTheSideWinAndKernelPathsFollowTheDefinition)
{
    CSimDefinition d;
    CString error;
    ASSERT_TRUE(d.Load(CString(DataPath("TT08.ini")),
                       {{"erase polls", "7"}, {"Boot Rate", "1200"}, {"Boot Answer", "none"}, {"Handshake", "0x10"}},
                       &error))
        << error.GetString();
    EXPECT_EQ(d.m_Faults.m_dwErasePolls, 7u);
    EXPECT_EQ(d.m_byBootBRR, 95);
    EXPECT_EQ(d.m_Faults.m_eBootAnswer, baSilent);
    EXPECT_EQ(d.m_byKernelHandshake, 92);
    EXPECT_EQ(d.m_byHandshake, 0x10);
    // Relative to the definition's folder; "\" counts as "/".
    EXPECT_EQ(d.m_strUserMainKernel.str(), DataPath("kernels/tt08/tt08_user_main.bin"));
    EXPECT_TRUE(d.m_strUserMicroKernel.IsEmpty());
}

TEST(SimDefinition, RefusesWhatItCannotPlayWithAReason)
{
    zftest::TempDir dir;
    const std::string base = std::string("[Device Info]\nRAM Size = 1024\nFLASH ROM Size = 4096\nEVB Clock MHz = 3.6864\n") +
                             "BRR Formula = ctPavFormula\nErase Block Count = 1\n[Erase Block 0]\nStart (Hex) = 0\n";
    struct
    {
        std::string extra;
        CSimOverrides overrides;
        const char* expected;
    } cases[] = {
        {"Size (Hex) = 1000\n", {{"No Such Key", "1"}}, "unknown simulator setting 'No Such Key'"},
        {"Size (Hex) = 1000\n", {{"Boot Rate", "3000"}}, "\"Boot Rate\": 3000"},
        {"Size (Hex) = 1000\n", {{"Bit Fields", "many"}}, "\"Bit Fields\": 'many' is not a number"},
        {"Size (Hex) = 1000\n", {{"Bit Fields", "0x100"}}, "above the largest allowed value 255"},
        {"Size (Hex) = 1000\n", {{"Start Mode", "Sideways"}}, "\"Start Mode\": 'Sideways'"},
        {"Size (Hex) = 1000\n", {{"Clock MHz", "19.6608"}, {"Boot Rate", "1200"}}, "cannot run its boot program at 1200"},
        {"Size (Hex) = 2000\n", {}, "lies outside the FLASH"},
        {"Size (Hex) = 1000\n[Device Info]\nProtocol = 2\n", {}, "\"Protocol\" 2 is neither 0"},
        {"Size (Hex) = 1000\n[Device Info]\nProtocol = 1\n", {{"Start Mode", "BOOT Resident"}},
         "a Protocol B chip starts in its boot program (BOOT), not BOOT Resident"},
        {"Size (Hex) = 1000\n", {{"Work Area", "1024"}}, "leave no RAM"},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File("d.ini");
        std::ofstream(path) << base << c.extra;
        CSimDefinition d;
        CString error;
        EXPECT_FALSE(d.Load(CString(path), c.overrides, &error)) << c.expected;
        EXPECT_THAT(error.str(), HasSubstr(c.expected)) << error.GetString();
    }
    CSimDefinition d;
    CString error;
    EXPECT_FALSE(d.Load(CString(dir.File("missing.ini")), {}, &error));
    EXPECT_THAT(error.str(), HasSubstr("cannot read the device definition"));
}

TEST(SimKernelFile, SampleFilesCarryTheirHeaderAndDownloadsAreComparedWhole)
{
    // Every kernel and module file of the samples and of the test device.
    int checked = 0;
    for (const std::string& folder : {DevicePath("kernels"), DataPath("kernels")}) {
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
            if (entry.path().extension() != ".bin")
                continue;
            const std::vector<BYTE> bytes = ReadFile(entry.path().string());
            CSimKernelFile::eKind kind = CSimKernelFile::kfUnknown;
            CString name;
            ASSERT_TRUE(CSimKernelFile::ParseHeader(bytes, &kind, &name)) << entry.path();
            const std::string stem = entry.path().stem().string();
            EXPECT_EQ(name.str(), stem.substr(0, 16)); // the header holds 16 characters of the name
            for (const auto& [suffix, expected] : {std::pair{"_user_main", CSimKernelFile::kfUserMainKernel},
                                                   {"_main", CSimKernelFile::kfMainKernel},
                                                   {"_erase", CSimKernelFile::kfEraseModule}})
                if (stem.ends_with(suffix)) {
                    EXPECT_EQ(kind, expected) << stem;
                    break;
                }
            ++checked;
        }
    }
    EXPECT_GE(checked, 35);

    CSimKernelFile f;
    f.Load(CString(DataPath("kernels/tt08/tt08_erase.bin")), "erase module");
    ASSERT_TRUE(f.IsLoaded());
    std::vector<BYTE> copy = f.GetBytes();
    CString why;
    EXPECT_TRUE(f.Matches(copy.data(), copy.size(), &why));
    copy[30] ^= 0x01; // where a copy differs runs in SimBoot
    EXPECT_FALSE(f.Matches(copy.data(), 20, &why));
    EXPECT_THAT(why.str(), HasSubstr("is 20 bytes long")) << why.GetString();
    EXPECT_FALSE(CSimKernelFile::ParseHeader(copy, nullptr, nullptr)); // the checksum catches the flipped bit

    CSimKernelFile missing;
    missing.Load(CString(DataPath("kernels/none.bin")), "read module");
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_FALSE(missing.Matches(copy.data(), copy.size(), &why));
    EXPECT_THAT(why.str(), HasSubstr("cannot read the read module"));
}

TEST(SimTranscript, TextGroupsPlainBytesAndJSONKeepsEveryOne)
{
    CSimTranscript t;
    for (BYTE b : {0x01, 0x02, 0x03})
        t.AddByte(sdHostToTarget, b, b, 0, phRateCheck);
    t.AddByte(sdHostToTarget, 0x04, 0xF8, sfGarbled, phRateCheck);
    t.AddEvent(ekRefusal, phErase, "erase refused: \"no map\"");
    t.AddByte(sdTargetToHost, 0x3F, 0x3F, 0, phErase);
    t.AddByte(sdTargetToHost, 0x29, 0x29, sfDropped, phErase);

    const std::string text = t.FormatText("TT08").str();
    EXPECT_THAT(text, HasSubstr("H>T  rate check            01 02 03\n"));
    EXPECT_THAT(text, HasSubstr("04~F8 (garbled)"));
    EXPECT_THAT(text, HasSubstr("refused   erase refused"));
    EXPECT_THAT(text, HasSubstr("29 (dropped)"));
    EXPECT_LT(text.find("refused"), text.find("T>H  erase"));

    const auto json = nlohmann::json::parse(t.FormatJSON("TT08").str());
    ASSERT_EQ(json["entries"].size(), 7u);
    EXPECT_EQ(json["entries"][3]["seen"], 0xF8);
    EXPECT_EQ(json["entries"][3]["flags"][0], "garbled");
    EXPECT_EQ(json["entries"][4]["text"], "erase refused: \"no map\"");
    EXPECT_EQ(t.SeenBytes(sdHostToTarget), (std::vector<BYTE>{1, 2, 3, 0xF8}));
    EXPECT_EQ(t.SeenBytes(sdTargetToHost), (std::vector<BYTE>{0x3F}));

    zftest::TempDir dir;
    CString error;
    ASSERT_TRUE(t.Write(CString(dir.File("t.json")), "TT08", &error));
    EXPECT_NO_THROW(nlohmann::json::parse(std::ifstream(dir.File("t.json"))));
    EXPECT_FALSE(t.Write(CString(dir.File("no/such/folder/t.txt")), "TT08", &error));
    EXPECT_THAT(error.str(), HasSubstr("cannot write the transcript"));
}
