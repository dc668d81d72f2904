#pragma once
// Helpers shared by the test programs: temporary folders, a private settings
// store and a host that records what reaches the person at the screen.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "platform/HostUI.h"

namespace zftest {

// A file of the source tree. ZFLASH_SOURCE_DIR may point elsewhere; by default
// it is the tree the tests were built from, so they run from any folder.
inline std::string SourcePath(const std::string& relative)
{
    const char* src = std::getenv("ZFLASH_SOURCE_DIR");
    return std::string(src && *src ? src : ZFLASH_TEST_SOURCE_DIR) + "/" + relative;
}

// The whole file as bytes; empty when it cannot be read.
inline std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A bundled definition (a file under devices/) with one text replaced and its
// kernels still found where they are, for a copy written elsewhere.
inline std::string DefinitionText(const std::string& file, const std::string& from, const std::string& to)
{
    std::string text = ReadAll(SourcePath("devices/" + file));
    for (size_t at; (at = text.find("= kernels/")) != std::string::npos;)
        text.replace(at, 10, "= " + SourcePath("devices/kernels/"));
    const size_t at = text.find(from);
    if (at == std::string::npos)
        std::abort();
    return text.replace(at, from.size(), to);
}

class TempDir
{
public:
    TempDir()
    {
        std::string tmpl = (std::filesystem::temp_directory_path() / "zflash-test-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            std::abort();
        m_path = tmpl;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
        std::filesystem::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Points the settings store at a fresh file for the life of the object.
// Tests against a virtual target pass a time-out factor: the target runs on
// threads beside the test, and a loaded machine can keep it from answering
// inside a real chip's windows. Every file written then carries the factor,
// unless the test sets "GeneralMultiplier" itself.
class ScopedSettings
{
public:
    static constexpr int kVirtualTargetFactor = 4;

    explicit ScopedSettings(int nTimeoutFactor = 1) : m_file(m_dir.File("settings.ini")), m_nFactor(nTimeoutFactor)
    {
        const char* old = std::getenv("ZFLASH_SETTINGS");
        m_hadOld = old != nullptr;
        if (old)
            m_old = old;
        ::setenv("ZFLASH_SETTINGS", m_file.c_str(), 1);
        if (m_nFactor != 1)
            Write("");
    }
    ~ScopedSettings()
    {
        if (m_hadOld)
            ::setenv("ZFLASH_SETTINGS", m_old.c_str(), 1);
        else
            ::unsetenv("ZFLASH_SETTINGS");
    }
    ScopedSettings(const ScopedSettings&) = delete;
    ScopedSettings& operator=(const ScopedSettings&) = delete;

    const std::string& Path() const { return m_file; }
    void Write(const std::string& content) const
    {
        std::string text = content;
        if (m_nFactor != 1 && text.find("GeneralMultiplier") == std::string::npos) {
            const std::string line = "GeneralMultiplier=" + std::to_string(m_nFactor) + "\n";
            const std::string section = "[Serial]\n";
            const auto at = text.find(section);
            if (at == std::string::npos)
                text = section + line + text;
            else
                text.insert(at + section.size(), line);
        }
        FILE* f = std::fopen(m_file.c_str(), "wb");
        if (!f)
            std::abort();
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }

private:
    TempDir m_dir;
    std::string m_file;
    int m_nFactor;
    std::string m_old;
    bool m_hadOld = false;
};

struct ShownStatus
{
    eStatusKind kind;
    std::string text;
    WORD id;
};

struct AskedQuestion
{
    std::string text;
    eQueryType style;
};

// Installs itself as the host for its lifetime and records everything shown.
class RecordingHost : public CHostUI
{
public:
    RecordingHost() { SetHostUI(this); }
    ~RecordingHost() override { SetHostUI(nullptr); }

    eQueryType MessageBox(const CString& text, eQueryType style, eMessageIcon) override
    {
        std::lock_guard lock(m_mutex);
        questions.push_back({text.str(), style});
        return answer;
    }
    void ShowStatus(eStatusKind kind, const CString& text, WORD id) override
    {
        std::lock_guard lock(m_mutex);
        shown.push_back({kind, text.str(), id});
    }
    void OnPropertyChange(CStatusUpdate* pSource) override
    {
        std::lock_guard lock(m_mutex);
        propertyChanges.push_back(pSource);
    }

    eQueryType answer = qtYes;
    std::vector<ShownStatus> shown;
    std::vector<AskedQuestion> questions;
    std::vector<CStatusUpdate*> propertyChanges;

private:
    std::mutex m_mutex;
};

} // namespace zftest
