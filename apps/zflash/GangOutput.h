#pragma once
// The screen of a gang run. Each target's console writes into streams of its
// own; whole lines come out here, marked with the target's port (a prefix on
// text lines, a "port" field in JSON events), never interleaved. On a
// terminal one row per target is kept under the lines and redrawn in place.
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Console.h"

class CGangOutput
{
public:
    CGangOutput(FILE* pOut, FILE* pErr, eOutputMode mode);
    ~CGangOutput();
    CGangOutput(const CGangOutput&) = delete;
    CGangOutput& operator=(const CGangOutput&) = delete;

    // Two streams (stdout, stderr) for the target with this label; they live
    // as long as this object.
    int AddTarget(const std::string& label);
    FILE* Out(int target) const { return m_Streams[static_cast<size_t>(target)]->pOut; }
    FILE* Err(int target) const { return m_Streams[static_cast<size_t>(target)]->pErr; }
    // The last error line a target's console wrote (text only).
    std::string LastError(int target) const;

    // A complete line from a target's stream.
    void Line(int target, bool bErr, const std::string& line);
    // Terminal only: the rows under the lines, redrawn now.
    void SetRows(const std::vector<std::string>& rows);
    // Takes the rows off the screen for good.
    void EndRows();

private:
    struct SStream
    {
        CGangOutput* pOwner;
        int nTarget;
        bool bErr;
        std::string pending;
        FILE* pOut = nullptr;
        FILE* pErr = nullptr;
        std::string label;
        std::string lastError;
    };
    static ssize_t Write(void* cookie, const char* data, size_t size);
    void ClearRowsLocked();
    void DrawRowsLocked();

    FILE* m_pOut;
    FILE* m_pErr;
    eOutputMode m_eMode;
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<SStream>> m_Streams;     // one per target (its stdout)
    std::vector<std::unique_ptr<SStream>> m_ErrStreams;  // and its stderr
    std::vector<std::string> m_Rows;
    size_t m_nRowsShown = 0;
};
