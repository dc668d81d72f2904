#include "sim/SimTranscript.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {
const char* DirectionText(eSimDirection d)
{
    return d == sdHostToTarget ? "H>T" : "T>H";
}

CString FlagText(BYTE flags, const char* separator)
{
    CString s;
    const struct
    {
        BYTE flag;
        const char* name;
    } kNames[] = {{sfGarbled, "garbled"}, {sfCorrupted, "corrupted"}, {sfDropped, "dropped"}, {sfSuppressed, "suppressed"}};
    for (const auto& n : kNames) {
        if (flags & n.flag) {
            if (!s.IsEmpty())
                s += separator;
            s += n.name;
        }
    }
    return s;
}

CString JSONString(const CString& text)
{
    CString out("\"");
    for (unsigned char c : text.str()) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            out.AppendFormat("\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

CString Milliseconds(std::uint64_t us)
{
    CString s;
    s.Format("%10.3f", static_cast<double>(us) / 1000.0);
    return s;
}
} // namespace

CSimTranscript::CSimTranscript() : m_origin(std::chrono::steady_clock::now()) {}

std::uint64_t CSimTranscript::Now() const
{
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - m_origin).count());
}

void CSimTranscript::Clear()
{
    std::lock_guard lock(m_lock);
    m_origin = std::chrono::steady_clock::now();
    m_Bytes.clear();
    m_Events.clear();
    m_bFull = false;
}

void CSimTranscript::AddByte(eSimDirection direction, BYTE sent, BYTE seen, BYTE flags, eSimPhase phase)
{
    AddByte(direction, sent, seen, flags, phase, std::chrono::steady_clock::now());
}

void CSimTranscript::AddByte(eSimDirection direction, BYTE sent, BYTE seen, BYTE flags, eSimPhase phase,
                             std::chrono::steady_clock::time_point ended)
{
    bool justFull = false;
    {
        std::lock_guard lock(m_lock);
        if (m_bFull)
            return;
        if (m_Bytes.size() >= kMaxBytes) {
            m_bFull = true;
            justFull = true;
        } else {
            CSimByteEntry e;
            const auto since = ended - m_origin;
            e.m_qwNanoseconds = since.count() > 0 ? static_cast<std::uint64_t>(
                                                        std::chrono::duration_cast<std::chrono::nanoseconds>(since).count())
                                                  : 0;
            e.m_qwMicroseconds = e.m_qwNanoseconds / 1000;
            e.m_bySent = sent;
            e.m_bySeen = seen;
            e.m_byFlags = flags;
            e.m_eDirection = direction;
            e.m_ePhase = phase;
            m_Bytes.push_back(e);
        }
    }
    if (justFull)
        AddEvent(ekNote, phase, "the transcript is full: no more bytes are recorded");
}

void CSimTranscript::AddEvent(eSimEventKind kind, eSimPhase phase, const CString& text)
{
    CSimEvent e;
    std::function<void(const CSimEvent&)> listener;
    {
        std::lock_guard lock(m_lock);
        e.m_qwMicroseconds = Now();
        e.m_nBytesBefore = m_Bytes.size();
        e.m_eKind = kind;
        e.m_ePhase = phase;
        e.m_strText = text;
        m_Events.push_back(e);
        listener = m_listener;
    }
    if (listener)
        listener(e);
}

void CSimTranscript::SetEventListener(std::function<void(const CSimEvent&)> listener)
{
    std::lock_guard lock(m_lock);
    m_listener = std::move(listener);
}

std::vector<CSimByteEntry> CSimTranscript::GetBytes() const
{
    std::lock_guard lock(m_lock);
    return m_Bytes;
}

std::vector<CSimEvent> CSimTranscript::GetEvents() const
{
    std::lock_guard lock(m_lock);
    return m_Events;
}

std::vector<CSimEvent> CSimTranscript::GetEvents(eSimEventKind kind) const
{
    std::lock_guard lock(m_lock);
    std::vector<CSimEvent> out;
    for (const CSimEvent& e : m_Events)
        if (e.m_eKind == kind)
            out.push_back(e);
    return out;
}

std::size_t CSimTranscript::GetByteCount() const
{
    std::lock_guard lock(m_lock);
    return m_Bytes.size();
}

std::vector<BYTE> CSimTranscript::SeenBytes(eSimDirection direction) const
{
    std::lock_guard lock(m_lock);
    std::vector<BYTE> out;
    for (const CSimByteEntry& e : m_Bytes)
        if (e.m_eDirection == direction && !(e.m_byFlags & (sfDropped | sfSuppressed)))
            out.push_back(e.m_bySeen);
    return out;
}

const char* CSimTranscript::PhaseName(eSimPhase phase)
{
    static const char* const kNames[phPhaseCount] = {
        "idle",
        "bit-rate matching",
        "boot acknowledge",
        "micro-kernel download",
        "automatic erase",
        "baud change",
        "rate check",
        "main kernel download",
        "user command",
        "command",
        "identity",
        "handshake",
        "erase",
        "blank check",
        "read",
        "write",
        "module download",
        "function map",
        "end of connection",
        "halted",
        "inquiry",
    };
    return phase < phPhaseCount ? kNames[phase] : "?";
}

const char* CSimTranscript::KindName(eSimEventKind kind)
{
    switch (kind) {
    case ekNote:
        return "note";
    case ekViolation:
        return "violation";
    case ekRefusal:
        return "refused";
    case ekFault:
        return "fault";
    }
    return "?";
}

CString CSimTranscript::FormatText(const CString& title) const
{
    std::vector<CSimByteEntry> bytes;
    std::vector<CSimEvent> events;
    {
        std::lock_guard lock(m_lock);
        bytes = m_Bytes;
        events = m_Events;
    }
    CString out;
    out.Format("# zflash-sim transcript: %s\n#       ms  dir  phase                  bytes (sent~seen when they differ)\n",
               title.GetString());
    std::size_t ev = 0;
    auto flushEvents = [&](std::size_t before) {
        for (; ev < events.size() && events[ev].m_nBytesBefore <= before; ++ev) {
            const CSimEvent& e = events[ev];
            out += Milliseconds(e.m_qwMicroseconds);
            out.AppendFormat("  ---  %-9s %s\n", KindName(e.m_eKind), e.m_strText.GetString());
        }
    };
    std::size_t i = 0;
    while (i < bytes.size()) {
        flushEvents(i);
        const CSimByteEntry& first = bytes[i];
        out += Milliseconds(first.m_qwMicroseconds);
        out.AppendFormat("  %s  %-21s ", DirectionText(first.m_eDirection), PhaseName(first.m_ePhase));
        if (first.m_byFlags != 0) {
            // A flagged byte stands alone with what happened to it.
            if (first.m_byFlags & (sfDropped | sfSuppressed))
                out.AppendFormat("%02X (%s)\n", first.m_bySent, FlagText(first.m_byFlags, ", ").GetString());
            else
                out.AppendFormat("%02X~%02X (%s)\n", first.m_bySent, first.m_bySeen,
                                 FlagText(first.m_byFlags, ", ").GetString());
            ++i;
            continue;
        }
        // Up to 16 plain bytes of one direction and phase, with no event between them, on one line.
        std::size_t n = 0;
        const std::size_t nextEvent = ev < events.size() ? events[ev].m_nBytesBefore : bytes.size() + 1;
        while (i < bytes.size() && n < 16 && bytes[i].m_byFlags == 0 && bytes[i].m_eDirection == first.m_eDirection &&
               bytes[i].m_ePhase == first.m_ePhase && (n == 0 || i < nextEvent)) {
            out.AppendFormat(n ? " %02X" : "%02X", bytes[i].m_bySent);
            ++i;
            ++n;
        }
        out += "\n";
    }
    flushEvents(bytes.size());
    return out;
}

CString CSimTranscript::FormatJSON(const CString& title) const
{
    std::vector<CSimByteEntry> bytes;
    std::vector<CSimEvent> events;
    {
        std::lock_guard lock(m_lock);
        bytes = m_Bytes;
        events = m_Events;
    }
    CString out;
    out.Format("{\"title\": %s,\n \"entries\": [", JSONString(title).GetString());
    bool firstEntry = true;
    std::size_t ev = 0;
    auto separator = [&]() {
        out += firstEntry ? "\n  " : ",\n  ";
        firstEntry = false;
    };
    auto flushEvents = [&](std::size_t before) {
        for (; ev < events.size() && events[ev].m_nBytesBefore <= before; ++ev) {
            const CSimEvent& e = events[ev];
            separator();
            out.AppendFormat("{\"ms\": %.3f, \"event\": \"%s\", \"phase\": \"%s\", \"text\": %s}",
                             static_cast<double>(e.m_qwMicroseconds) / 1000.0, KindName(e.m_eKind),
                             PhaseName(e.m_ePhase), JSONString(e.m_strText).GetString());
        }
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        flushEvents(i);
        const CSimByteEntry& b = bytes[i];
        separator();
        out.AppendFormat("{\"ms\": %.3f, \"dir\": \"%s\", \"phase\": \"%s\", \"sent\": %u, \"seen\": %u",
                         static_cast<double>(b.m_qwMicroseconds) / 1000.0, DirectionText(b.m_eDirection),
                         PhaseName(b.m_ePhase), b.m_bySent, b.m_bySeen);
        if (b.m_byFlags)
            out.AppendFormat(", \"flags\": [\"%s\"]", FlagText(b.m_byFlags, "\", \"").GetString());
        out += "}";
    }
    flushEvents(bytes.size());
    out += "\n ]\n}\n";
    return out;
}

bool CSimTranscript::Write(const CString& path, const CString& title, CString* pError) const
{
    const bool json = path.GetLength() >= 5 && path.Right(5).CompareNoCase(".json") == 0;
    const CString text = json ? FormatJSON(title) : FormatText(title);
    FILE* f = std::fopen(path, "wb");
    bool ok = f != nullptr;
    if (ok)
        ok = std::fwrite(text.GetString(), 1, text.GetLength(), f) == static_cast<std::size_t>(text.GetLength());
    if (f && std::fclose(f) != 0)
        ok = false;
    if (!ok) {
        if (pError)
            pError->Format("cannot write the transcript '%s': %s", path.GetString(), std::strerror(errno));
        return false;
    }
    return true;
}
