#pragma once
// Watches the progress the library keeps at the end of a status chain and
// shows it on the console while an operation runs on another thread.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Console.h"

class CStatusUpdate;

class CProgressMeter
{
public:
    CProgressMeter(CStatusUpdate& sink, CConsole& console, int nIntervalMs = 100);
    ~CProgressMeter();
    CProgressMeter(const CProgressMeter&) = delete;
    CProgressMeter& operator=(const CProgressMeter&) = delete;

    // Reads the sink once and shows it; the thread calls this on every tick.
    void Sample();
    // Stops watching and takes the bar off the screen.
    void Stop();

private:
    void Run();

    CStatusUpdate& m_sink;
    CConsole& m_console;
    int m_nIntervalMs;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_bStop = false;
    std::string m_strText;
    std::chrono::steady_clock::time_point m_since;
    std::thread m_thread;
};
