#include "GangOutput.h"

#include <nlohmann/json.hpp>

CGangOutput::CGangOutput(FILE* pOut, FILE* pErr, eOutputMode mode) : m_pOut(pOut), m_pErr(pErr), m_eMode(mode) {}

CGangOutput::~CGangOutput()
{
    for (auto& s : m_Streams)
        std::fclose(s->pOut);
    for (auto& s : m_ErrStreams)
        std::fclose(s->pErr);
    EndRows();
}

int CGangOutput::AddTarget(const std::string& label)
{
    const int index = static_cast<int>(m_Streams.size());
    auto open = [&](bool bErr) {
        auto s = std::make_unique<SStream>(SStream{this, index, bErr, {}, nullptr, nullptr, label, {}});
        FILE* f = fopencookie(s.get(), "w", cookie_io_functions_t{nullptr, &CGangOutput::Write, nullptr, nullptr});
        std::setvbuf(f, nullptr, _IONBF, 0);
        (bErr ? s->pErr : s->pOut) = f;
        return s;
    };
    m_Streams.push_back(open(false));
    m_ErrStreams.push_back(open(true));
    m_Streams.back()->pErr = m_ErrStreams.back()->pErr;
    return index;
}

ssize_t CGangOutput::Write(void* cookie, const char* data, size_t size)
{
    auto* s = static_cast<SStream*>(cookie);
    s->pending.append(data, size);
    for (size_t eol; (eol = s->pending.find('\n')) != std::string::npos;) {
        const std::string line = s->pending.substr(0, eol);
        s->pending.erase(0, eol + 1);
        s->pOwner->Line(s->nTarget, s->bErr, line);
    }
    return static_cast<ssize_t>(size);
}

std::string CGangOutput::LastError(int target) const
{
    std::lock_guard lock(m_mutex);
    return m_ErrStreams[static_cast<size_t>(target)]->lastError;
}

void CGangOutput::Line(int target, bool bErr, const std::string& line)
{
    std::lock_guard lock(m_mutex);
    SStream& s = *m_ErrStreams[static_cast<size_t>(target)];
    std::string shown;
    if (m_eMode == omJson && !line.empty() && line[0] == '{') {
        // Every event says which target it is about.
        shown = "{\"port\":" + nlohmann::json(s.label).dump() + (line.size() > 2 ? "," : "") + line.substr(1);
        const auto e = nlohmann::json::parse(line, nullptr, false);
        if (e.is_object() && e.value("level", "") == "error")
            s.lastError = e.value("text", "");
    } else {
        shown = s.label + ": " + line;
        if (line.rfind("error: ", 0) == 0)
            s.lastError = line.substr(7);
    }
    ClearRowsLocked();
    std::fputs((shown + "\n").c_str(), bErr ? m_pErr : m_pOut);
    std::fflush(bErr ? m_pErr : m_pOut);
    DrawRowsLocked();
}

void CGangOutput::ClearRowsLocked()
{
    if (m_nRowsShown > 0) {
        // Up to the first row, and everything below it goes.
        std::fprintf(m_pErr, "\x1b[%zuA\r\x1b[J", m_nRowsShown);
        m_nRowsShown = 0;
    }
}

void CGangOutput::DrawRowsLocked()
{
    if (m_eMode != omTerminal || m_Rows.empty())
        return;
    for (const std::string& row : m_Rows)
        std::fputs(("\r\x1b[K" + row + "\n").c_str(), m_pErr);
    m_nRowsShown = m_Rows.size();
    std::fflush(m_pErr);
}

void CGangOutput::SetRows(const std::vector<std::string>& rows)
{
    if (m_eMode != omTerminal)
        return;
    std::lock_guard lock(m_mutex);
    ClearRowsLocked();
    m_Rows = rows;
    DrawRowsLocked();
}

void CGangOutput::EndRows()
{
    std::lock_guard lock(m_mutex);
    m_Rows.clear();
    if (m_nRowsShown > 0)
        m_nRowsShown = 0; // the last picture of the rows stays on the screen above the summary
}
