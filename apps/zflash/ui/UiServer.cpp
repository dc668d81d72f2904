#include "UiServer.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <sys/socket.h>

#include <httplib.h>

#include "UiAssets.h"

namespace {
const char* ContentType(const std::string& name)
{
    if (name.ends_with(".html"))
        return "text/html; charset=utf-8";
    if (name.ends_with(".js"))
        return "text/javascript; charset=utf-8";
    if (name.ends_with(".css"))
        return "text/css; charset=utf-8";
    return "application/octet-stream";
}

void Reply(httplib::Response& res, const SUiReply& reply)
{
    res.status = reply.nStatus;
    res.set_content(reply.body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

// Compares without stopping at the first difference, so the time taken tells nothing.
bool SameText(const std::string& a, const std::string& b)
{
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

std::string EventText(const SUiEvent& e)
{
    return "id: " + std::to_string(e.nSeq) + "\ndata: " + e.strJson + "\n\n";
}

unsigned long long ParamNumber(const httplib::Request& req, const char* key, unsigned long long fallback)
{
    if (!req.has_param(key))
        return fallback;
    const std::string text = req.get_param_value(key);
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    return end && *end == '\0' && !text.empty() ? value : fallback;
}
} // namespace

CUiServer::CUiServer(std::string strToken)
    : m_strToken(strToken.empty() ? RandomToken() : std::move(strToken)), m_host(m_events)
{
}

CUiServer::~CUiServer()
{
    Stop();
}

std::string CUiServer::RandomToken()
{
    std::random_device random;
    std::string token;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        const unsigned value = random();
        for (int n = 0; n < 8; n += 2)
            token += digits[(value >> (n * 4)) & 15], token += digits[(value >> (n * 4 + 4)) & 15];
    }
    return token;
}

bool CUiServer::ParseListen(const std::string& text, std::string* pHost, int* pPort)
{
    std::string host = text, port;
    if (!text.empty() && text.find_first_not_of("0123456789") == std::string::npos) {
        host.clear();
        port = text;
    } else if (!text.empty() && text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':'))
            return false;
        host = text.substr(1, close - 1);
        port = close + 2 <= text.size() ? text.substr(std::min(close + 2, text.size())) : "";
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        host = text.substr(0, text.find(':'));
        port = text.substr(text.find(':') + 1);
    }
    if (!port.empty() && (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
                          std::stoi(port) > 65535))
        return false;
    *pHost = host.empty() ? "127.0.0.1" : host;
    *pPort = port.empty() ? 0 : std::stoi(port);
    return true;
}

std::string CUiServer::Url() const
{
    const std::string host = m_strHost.find(':') != std::string::npos ? "[" + m_strHost + "]" : m_strHost;
    return "http://" + host + ":" + std::to_string(m_nPort) + "/?token=" + m_strToken;
}

std::string CUiServer::Refusal(const httplib::Request& req) const
{
    const std::string host = req.get_header_value("Host");
    bool hostOk = false;
    for (const std::string& h : m_AllowedHosts)
        hostOk = hostOk || host == h;
    if (!hostOk)
        return "foreign Host '" + host + "'";
    if (req.has_header("Origin")) {
        const std::string origin = req.get_header_value("Origin");
        bool originOk = false;
        for (const std::string& h : m_AllowedHosts)
            originOk = originOk || origin == "http://" + h;
        if (!originOk)
            return "foreign Origin '" + origin + "'";
    }
    const std::string token =
        req.has_header("X-Zflash-Token") ? req.get_header_value("X-Zflash-Token") : req.get_param_value("token");
    if (!SameText(token, m_strToken))
        return "missing or wrong token: open the address zflash ui printed";
    return "";
}

bool CUiServer::Start(const std::string& host, int nPort, std::string* pError)
{
    m_strHost = host;
    m_pServer = std::make_unique<httplib::Server>();
    // Each page holds one thread with its event stream; leave room for the rest.
    m_pServer->new_task_queue = [] { return new httplib::ThreadPool(16); };
    // Not the library's default SO_REUSEPORT: a second server on the same port
    // must fail, not share the connections.
    m_pServer->set_socket_options([](int sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    m_nPort = nPort == 0 ? m_pServer->bind_to_any_port(host) : (m_pServer->bind_to_port(host, nPort) ? nPort : -1);
    if (m_nPort <= 0) {
        *pError = "cannot listen on " + host + ":" + std::to_string(nPort) + " (in use, or not an address of this machine)";
        m_pServer.reset();
        return false;
    }
    const std::string port = ":" + std::to_string(m_nPort);
    const std::string named = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    m_AllowedHosts = {named + port};
    if (host == "127.0.0.1" || host == "::1" || host == "localhost")
        m_AllowedHosts = {"127.0.0.1" + port, "localhost" + port, "[::1]" + port};
    m_pStation = std::make_unique<CUiStation>(m_events, m_host);
    SetHostUI(&m_host);
    Routes();
    m_thread = std::thread([this] { m_pServer->listen_after_bind(); });
    return true;
}

void CUiServer::Stop()
{
    if (!m_pServer)
        return;
    m_events.Close();
    m_pServer->stop();
    if (m_thread.joinable())
        m_thread.join();
    m_pStation.reset();
    SetHostUI(nullptr);
    m_pServer.reset();
}

void CUiServer::Routes()
{
    httplib::Server& s = *m_pServer;
    s.set_default_headers({{"Cache-Control", "no-store"},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"},
                           {"X-Frame-Options", "DENY"},
                           {"Content-Security-Policy",
                            "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; form-action 'none'"}});
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        const std::string why = Refusal(req);
        if (why.empty())
            return httplib::Server::HandlerResponse::Unhandled;
        Reply(res, SUiReply::Fail(403, "refused: " + why));
        return httplib::Server::HandlerResponse::Handled;
    });

    auto page = [this](const std::string& name) {
        return [this, name](const httplib::Request&, httplib::Response& res) {
            const SUiAsset* asset = FindUiAsset(name.c_str());
            std::string body(reinterpret_cast<const char*>(asset->pData), asset->nSize);
            // The page's own requests carry the token it was opened with.
            for (std::size_t at; (at = body.find("@TOKEN@")) != std::string::npos;)
                body.replace(at, 7, m_strToken);
            res.set_content(body, ContentType(name));
        };
    };
    s.Get("/", page("index.html"));
    s.Get("/app.js", page("app.js"));
    s.Get("/style.css", page("style.css"));

    s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        auto after = std::make_shared<std::uint64_t>(
            ParamNumber(req, "after", req.has_header("Last-Event-ID")
                                          ? std::strtoull(req.get_header_value("Last-Event-ID").c_str(), nullptr, 10)
                                          : m_events.LastSeq()));
        res.set_chunked_content_provider("text/event-stream", [this, after](std::size_t, httplib::DataSink& sink) {
            const std::vector<SUiEvent> events = m_events.Wait(*after, 1000);
            if (m_events.IsClosed()) {
                sink.done();
                return false;
            }
            // A comment when nothing happened finds out whether the page is still there.
            std::string text = events.empty() ? std::string(": idle\n\n") : std::string();
            for (const SUiEvent& e : events) {
                text += EventText(e);
                *after = e.nSeq;
            }
            return sink.write(text.data(), text.size());
        });
    });
    s.Get("/api/poll", [this](const httplib::Request& req, httplib::Response& res) {
        const auto events = m_events.Wait(ParamNumber(req, "after", 0),
                                          static_cast<int>(std::min<unsigned long long>(ParamNumber(req, "wait", 0), 10000)));
        std::string body = "[";
        for (const SUiEvent& e : events)
            body += (body.size() > 1 ? "," : "") + e.strJson;
        res.set_content(body + "]", "application/json");
    });

    s.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
        Reply(res, {200, m_pStation->State()});
    });
    s.Get("/api/devices", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, {200, CUiStation::BundledDevices()});
    });
    s.Get("/api/ports", [](const httplib::Request&, httplib::Response& res) {
        Reply(res, {200, CUiStation::Ports()});
    });
    s.Get("/api/image/bytes", [this](const httplib::Request& req, httplib::Response& res) {
        Reply(res, m_pStation->Bytes(static_cast<unsigned long>(ParamNumber(req, "from", 0)),
                                     static_cast<unsigned long>(ParamNumber(req, "length", 0))));
    });

    using Action = std::function<SUiReply(const nlohmann::json&)>;
    auto post = [&s](const char* path, Action action) {
        s.Post(path, [action](const httplib::Request& req, httplib::Response& res) {
            nlohmann::json body = req.body.empty() ? nlohmann::json::object() : nlohmann::json::parse(req.body, nullptr, false);
            if (body.is_discarded() || !body.is_object()) {
                Reply(res, SUiReply::Fail(400, "the request body is not a JSON object"));
                return;
            }
            Reply(res, action(body));
        });
    };
    CUiStation& st = *m_pStation;
    post("/api/device", [&st](const nlohmann::json& b) { return st.Configure(b); });
    post("/api/connect", [&st](const nlohmann::json&) { return st.Connect(); });
    post("/api/disconnect", [&st](const nlohmann::json&) { return st.Disconnect(); });
    post("/api/blocks", [&st](const nlohmann::json&) { return st.BlockList(); });
    post("/api/blank", [&st](const nlohmann::json&) { return st.BlankCheck(); });
    post("/api/erase", [&st](const nlohmann::json& b) { return st.Erase(b); });
    post("/api/read", [&st](const nlohmann::json& b) { return st.Read(b); });
    post("/api/program", [&st](const nlohmann::json& b) { return st.Program(b); });
    post("/api/verify", [&st](const nlohmann::json&) { return st.Verify(); });
    post("/api/cancel", [&st](const nlohmann::json&) { return st.Cancel(); });
    post("/api/answer", [this](const nlohmann::json& b) {
        const int id = b.value("id", 0);
        if (!m_host.Answer(id, b.value("answer", std::string())))
            return SUiReply::Fail(409, "no such question waits, or that is not one of its answers");
        return SUiReply{200, {{"answered", id}}};
    });
    post("/api/image/open", [&st](const nlohmann::json& b) { return st.Open(b); });
    post("/api/image/save", [&st](const nlohmann::json& b) { return st.Save(b); });
    post("/api/image/new", [&st](const nlohmann::json&) { return st.NewImage(); });
    post("/api/image/edit", [&st](const nlohmann::json& b) { return st.Edit(b); });
    post("/api/image/fill", [&st](const nlohmann::json& b) { return st.Fill(b, false); });
    post("/api/image/clear", [&st](const nlohmann::json& b) { return st.Fill(b, true); });
    post("/api/image/undo", [&st](const nlohmann::json&) { return st.Undo(false); });
    post("/api/image/redo", [&st](const nlohmann::json&) { return st.Undo(true); });
}
