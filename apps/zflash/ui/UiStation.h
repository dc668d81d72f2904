#pragma once
// What the page works on: one document with its editable image and history,
// one device set-up (definition, port, connection) with its programmer, and
// the operation queue every device action runs on. Requests come from the
// server's threads; operations run on the queue's worker; their completion
// arrives on the owner window's thread.
#include <atomic>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "Console.h"
#include "ConsoleHost.h"
#include "Options.h"
#include "Session.h"
#include "UiEvents.h"
#include "UiHost.h"
#include "image/FLASHBinaryImage.h"
#include "image/FLASHDocument.h"
#include "operations/Operation.h"
#include "platform/StatusUpdate.h"

class CDeviceInfo;
class CFLASHOperation;
class CFLASHProgrammer;
class CObList;
class COTPConfig;

// An HTTP status and the JSON body that goes with it.
struct SUiReply
{
    int nStatus = 200;
    nlohmann::json body = nlohmann::json::object();
    static SUiReply Fail(int nStatus, const std::string& error) { return {nStatus, {{"error", error}}}; }
};

class CUiStation
{
public:
    CUiStation(CUiEventHub& events, CUiHost& host);
    ~CUiStation();
    CUiStation(const CUiStation&) = delete;
    CUiStation& operator=(const CUiStation&) = delete;

    nlohmann::json State();
    static nlohmann::json BundledDevices();
    static nlohmann::json Ports();

    // Device set-up: {definition, port, connection, baud, erase}.
    SUiReply Configure(const nlohmann::json& request);
    // Device actions, each queued as an operation; the reply says it started.
    SUiReply Connect();
    SUiReply Disconnect();
    SUiReply BlockList();
    SUiReply BlankCheck();
    // {all: true} or {blocks: [names]}.
    SUiReply Erase(const nlohmann::json& request);
    // {start, length}: read into the image.
    SUiReply Read(const nlohmann::json& request);
    // {production, job, operator, log}: write (and verify as the library asks).
    SUiReply Program(const nlohmann::json& request);
    SUiReply Verify();
    SUiReply Cancel();

    // The image.
    SUiReply Open(const nlohmann::json& request);
    SUiReply Save(const nlohmann::json& request);
    SUiReply NewImage();
    SUiReply Bytes(unsigned long nFrom, unsigned long nLength);
    SUiReply Edit(const nlohmann::json& request);
    // bClear: fill with H'FF, which leaves no data there.
    SUiReply Fill(const nlohmann::json& request, bool bClear);
    SUiReply Undo(bool bRedo);

private:
    struct SRunning
    {
        CFLASHOperation* pOperation = nullptr;
        std::string strName;
        // What the operation works on and must outlive it.
        std::unique_ptr<CFLASHBinaryImage> pImage;
        std::unique_ptr<COTPConfig> pJob;
        bool bProduction = false;
        std::string strJob;
    };

    // Queues the operation as the one running; refused while another runs.
    SUiReply Start(SRunning running);
    // Fails unless a device is set up and no operation runs.
    bool Ready(SUiReply& reply, bool bNeedConnection);
    void OnWindowMessage(UINT message, LPARAM lParam);
    void Finished(CFLASHOperation* pOperation);
    // With both locks held: what the finished operation changed, taken into
    // the station's state and into its finished event e.
    void TakeResult(CFLASHOperation* pOperation, bool bSuccess, bool bCancelled, nlohmann::json& e);
    void BlockStatesFromChip(CFLASHProgrammer* programmer);
    void TakeIdentity(CFLASHProgrammer* programmer);
    void MarkErased(const CObList* pErased, const CDeviceInfo& info);
    void TakeReadImage(std::unique_ptr<CFLASHBinaryImage> read);
    // A write, verify or production job; a job adds to the results.
    void TakeWriteResult(const std::string& name, bool bOK, nlohmann::json& e);
    void DeleteFinished();
    // Copy of the document's image for a write or verify; null with the reason.
    std::unique_ptr<CFLASHBinaryImage> ImageForDevice(std::string* pError);
    void SetBlockStates(const char* pszState, bool bOnlyImage);
    nlohmann::json DeviceJson();
    nlohmann::json ImageJson();
    void PublishImage();
    void PublishDevice();
    void Ticker();
    void CloseDevice();

    CUiEventHub& m_events;
    CUiHost& m_host;
    CStatusUpdate m_Sink;
    std::unique_ptr<CUiWindow> m_pWindow;
    COperationManager m_Queue;

    // The document and its image; the server's threads take m_imageMutex,
    // operations get copies or images of their own.
    std::mutex m_imageMutex;
    CFLASHDocument m_Document;
    std::unique_ptr<CFLASHBinaryImage> m_pImage;
    std::vector<std::string> m_UndoNames;
    std::vector<std::string> m_RedoNames;
    std::vector<std::string> m_Files;

    // The device set-up; the parts of the command-line tool do the work.
    std::mutex m_deviceMutex;
    SCliOptions m_Options;
    FILE* m_pConsoleFile = nullptr;
    char* m_pConsoleText = nullptr;
    size_t m_nConsoleText = 0;
    std::unique_ptr<CConsole> m_pConsole;
    std::unique_ptr<CConsoleHost> m_pConsoleHost;
    std::unique_ptr<CSession> m_pSession;
    std::vector<std::string> m_BlockStates;
    nlohmann::json m_Identity;
    bool m_bConnected = false;

    // The operation running, and those finished but not yet deleted.
    std::mutex m_opMutex;
    SRunning m_Running;
    std::vector<SRunning> m_Finished;
    std::atomic<bool> m_bVerifiedSeen{false};
    std::atomic<bool> m_bWrittenSeen{false};
    // Cancel was asked for while the running operation ran.
    bool m_bCancelRequested = false;

    // Production results.
    unsigned m_nUnits = 0, m_nPassed = 0, m_nFailed = 0;
    std::deque<nlohmann::json> m_Results;

    std::atomic<bool> m_bStopping{false};
    std::thread m_Ticker;
};
