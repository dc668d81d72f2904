#pragma once
// A virtual target started from a device definition, and a programmer made by
// the manager and pointed at it. Tests derive from CProgrammerFixture.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "programmer/FLASHManager.h"
#include "programmer/OTPConfig.h"
#include "sim/SimTarget.h"

namespace zftest {

inline std::string SourcePath(const std::string& rel)
{
    const char* src = std::getenv("ZFLASH_SOURCE_DIR");
    return std::string(src ? src : ".") + "/" + rel;
}

// Bytes without runs of H'FF, so that an image keeps them as one range.
inline std::vector<BYTE> Pattern(size_t n, BYTE seed)
{
    std::vector<BYTE> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<BYTE>((seed + i * 7 + (i >> 8)) % 0xFF);
    return v;
}

using SImageRange = std::pair<DWORD, std::vector<BYTE>>;

// An S-record file (S2 records, 24-bit addresses) holding the ranges.
inline void WriteSRecordFile(const std::string& path, const std::vector<SImageRange>& ranges)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        std::abort();
    for (const auto& [address, bytes] : ranges) {
        for (size_t at = 0; at < bytes.size(); at += 32) {
            const size_t n = std::min<size_t>(32, bytes.size() - at);
            const DWORD a = address + static_cast<DWORD>(at);
            unsigned sum = static_cast<unsigned>(n + 4) + (a >> 16 & 0xFF) + (a >> 8 & 0xFF) + (a & 0xFF);
            std::fprintf(f, "S2%02X%06X", static_cast<unsigned>(n + 4), static_cast<unsigned>(a & 0xFFFFFF));
            for (size_t i = 0; i < n; ++i) {
                std::fprintf(f, "%02X", bytes[at + i]);
                sum += bytes[at + i];
            }
            std::fprintf(f, "%02X\n", ~sum & 0xFF);
        }
    }
    std::fputs("S804000000FB\n", f);
    std::fclose(f);
}

class CProgrammerFixture : public ::testing::Test
{
protected:
    // definition: a file under devices/ or an absolute path.
    ::testing::AssertionResult StartTarget(CSimTarget& t, const std::string& definition,
                                           const CSimOverrides& overrides = {})
    {
        const std::string path = definition.front() == '/' ? definition : SourcePath("devices/" + definition);
        CString error;
        if (!t.Load(path.c_str(), &error, overrides))
            return ::testing::AssertionFailure() << "load: " << error.GetString();
        if (!t.Start(&error))
            return ::testing::AssertionFailure() << "start: " << error.GetString();
        return ::testing::AssertionSuccess();
    }

    std::unique_ptr<CFLASHProgrammer> MakeProgrammer(const CSimTarget& t, const std::string& definition,
                                                     eConnectionType type, long nProtocol = 0)
    {
        const std::string path = definition.front() == '/' ? definition : SourcePath("devices/" + definition);
        const std::string name = definition.substr(definition.find_last_of('/') + 1);
        return std::unique_ptr<CFLASHProgrammer>(FLASHManager.CreateFLASHProgrammer(
            name.substr(0, name.find('.')).c_str(), t.GetPortName(), type, ptNeverErase, mlNormal, "",
            nProtocol, 0.0f, 0, 0, 0, path.c_str()));
    }

    // The usual case: one target in the given start mode and a programmer of the type.
    ::testing::AssertionResult Start(const std::string& definition, const char* startMode, eConnectionType type,
                                     CSimOverrides overrides = {}, long nProtocol = 0)
    {
        overrides.insert(overrides.begin(), {"Start Mode", startMode});
        auto started = StartTarget(target, definition, overrides);
        if (!started)
            return started;
        programmer = MakeProgrammer(target, definition, type, nProtocol);
        if (!programmer)
            return ::testing::AssertionFailure() << "no programmer for " << definition;
        return ::testing::AssertionSuccess();
    }

    // A FLASH image of the target's size holding the ranges, loaded from an S-record file.
    std::unique_ptr<CFLASHBinaryImage> LoadImage(const std::vector<SImageRange>& ranges, int nSize = -1)
    {
        const std::string path = dir.File("image" + std::to_string(++m_nImages) + ".s28");
        WriteSRecordFile(path, ranges);
        auto image = std::make_unique<CFLASHBinaryImage>(
            nSize >= 0 ? nSize : static_cast<int>(programmer->GetFLASHSize()), nullptr);
        if (!image->LoadFile(path.c_str()))
            ADD_FAILURE() << "cannot load " << path;
        return image;
    }

    // The target's FLASH holds the ranges.
    ::testing::AssertionResult FLASHHolds(const CSimTarget& t, const std::vector<SImageRange>& ranges)
    {
        const std::vector<BYTE> flash = t.GetFLASH();
        for (const auto& [address, bytes] : ranges) {
            if (address + bytes.size() > flash.size())
                return ::testing::AssertionFailure() << "range beyond FLASH";
            const auto at = flash.begin() + address;
            const auto diff = std::mismatch(bytes.begin(), bytes.end(), at);
            if (diff.first != bytes.end())
                return ::testing::AssertionFailure()
                       << "FLASH differs at " << std::hex << address + (diff.first - bytes.begin());
        }
        return ::testing::AssertionSuccess();
    }

    bool Shown(const std::string& text, WORD id = 0) const
    {
        return std::any_of(host.shown.begin(), host.shown.end(),
                           [&](const ShownStatus& s) { return s.text == text && s.id == id; });
    }
    int CountShown(const std::string& text) const
    {
        return static_cast<int>(std::count_if(host.shown.begin(), host.shown.end(),
                                              [&](const ShownStatus& s) { return s.text == text; }));
    }
    int CountAsked(const std::string& text) const
    {
        return static_cast<int>(std::count_if(host.questions.begin(), host.questions.end(),
                                              [&](const AskedQuestion& q) { return q.text == text; }));
    }
    std::string Errors() const
    {
        std::string all;
        for (const ShownStatus& s : host.shown)
            if (s.kind == skError)
                all += s.text + " (" + std::to_string(s.id) + ")\n";
        return all;
    }

    RecordingHost host;
    ScopedSettings settings;
    TempDir dir;
    CSimTarget target;
    // Declared last: it goes before the target it talks to.
    std::unique_ptr<CFLASHProgrammer> programmer;

private:
    int m_nImages = 0;
};

} // namespace zftest
