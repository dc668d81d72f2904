// `zflash ui` through its HTTP API, against the virtual target: who may talk to
// it, the image editor with its history and files, and every device operation
// with the library's questions answered (or cancelled) from the client.
#include <gmock/gmock.h>

#include <chrono>
#include <functional>
#include <thread>
#include <tuple>

#include <httplib.h>

#include "TestSupport.h"
#include "UiServer.h"

using namespace zftest;
using ::testing::HasSubstr;
using json = nlohmann::json;

namespace {

class UiServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_server.Start("127.0.0.1", 0, &error)) << error;
        m_pClient = std::make_unique<httplib::Client>("127.0.0.1", m_server.Port());
        m_pClient->set_read_timeout(120);
        m_Headers = {{"X-Zflash-Token", m_server.Token()}};
    }

    json Request(bool bPost, const std::string& path, const json& body, int nStatus)
    {
        auto res = bPost ? m_pClient->Post(path.c_str(), m_Headers, body.dump(), "application/json")
                         : m_pClient->Get(path.c_str(), m_Headers);
        EXPECT_TRUE(res) << path;
        if (!res)
            return nullptr;
        EXPECT_EQ(res->status, nStatus) << path << ": " << res->body;
        return json::parse(res->body, nullptr, false);
    }
    json Get(const std::string& path, int nStatus = 200) { return Request(false, path, nullptr, nStatus); }
    json Post(const std::string& path, const json& body = json::object(), int nStatus = 200)
    {
        return Request(true, path, body, nStatus);
    }

    // The next event that matches, reading on from where the last wait stopped.
    // The limit only ends a test that hangs.
    json WaitFor(const std::function<bool(const json&)>& match)
    {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        while (std::chrono::steady_clock::now() < limit) {
            const json events = Get("/api/poll?after=" + std::to_string(m_nSeen) + "&wait=1000");
            for (const json& e : events) {
                m_nSeen = e["seq"].get<std::uint64_t>();
                if (match(e))
                    return e;
            }
        }
        ADD_FAILURE() << "no such event";
        return nullptr;
    }

    // Runs an action to its end, answering every question with answer;
    // returns the "finished" event.
    json Run(const std::string& path, const json& body = json::object(), const std::string& answer = "yes",
             std::vector<std::string>* pQuestions = nullptr)
    {
        Post(path, body, 202);
        for (;;) {
            const json e = WaitFor([](const json& x) { return x["event"] == "question" || x["event"] == "finished"; });
            if (e.is_null() || e["event"] == "finished")
                return e;
            if (pQuestions)
                pQuestions->push_back(e["text"]);
            Post("/api/answer", {{"id", e["id"]}, {"answer", answer}});
        }
    }

    std::string Bytes(DWORD from, DWORD length)
    {
        return Get("/api/image/bytes?from=" + std::to_string(from) + "&length=" + std::to_string(length))["data"];
    }

    std::vector<std::string> BlockStates()
    {
        std::vector<std::string> states;
        const json state = Get("/api/state");
        for (const json& b : state["device"]["blocks"])
            states.push_back(b["state"]);
        return states;
    }

    ScopedSettings m_settings{ScopedSettings::kVirtualTargetFactor};
    TempDir m_dir;
    CUiServer m_server;
    std::unique_ptr<httplib::Client> m_pClient;
    httplib::Headers m_Headers;
    std::uint64_t m_nSeen = 0;
    const std::string m_strBlinky = SourcePath("examples/blinky.mot");
};

TEST_F(UiServerTest, RefusesRequestsWithoutTheTokenOrFromAnotherSite)
{
    const std::string port = std::to_string(m_server.Port());
    const std::string token = m_server.Token();
    const std::tuple<const char*, std::string, httplib::Headers, int, const char*> cases[] = {
        {"no token", "/api/state", {}, 403, "token"},
        {"no token for the page", "/", {}, 403, "token"},
        {"wrong token", "/api/state", {{"X-Zflash-Token", token + "0"}}, 403, "token"},
        {"token in the query", "/api/state?token=" + token, {}, 200, nullptr},
        {"token in the header", "/api/state", {{"X-Zflash-Token", token}}, 200, nullptr},
        {"the page with its token", "/?token=" + token, {}, 200, nullptr},
        {"localhost", "/api/state", {{"X-Zflash-Token", token}, {"Host", "localhost:" + port}}, 200, nullptr},
        {"foreign host (rebinding)", "/api/state", {{"X-Zflash-Token", token}, {"Host", "evil.example:" + port}}, 403, "Host"},
        {"another port", "/api/state", {{"X-Zflash-Token", token}, {"Host", "127.0.0.1:1"}}, 403, "Host"},
        {"own origin", "/api/state", {{"X-Zflash-Token", token}, {"Origin", "http://127.0.0.1:" + port}}, 200, nullptr},
        {"foreign origin", "/api/state", {{"X-Zflash-Token", token}, {"Origin", "http://evil.example"}}, 403, "Origin"},
        {"null origin", "/api/state", {{"X-Zflash-Token", token}, {"Origin", "null"}}, 403, "Origin"},
    };
    for (const auto& [what, path, headers, status, reason] : cases) {
        auto res = m_pClient->Get(path.c_str(), headers);
        ASSERT_TRUE(res) << what;
        EXPECT_EQ(res->status, status) << what;
        if (reason) {
            EXPECT_THAT(res->body, HasSubstr(reason)) << what;
        }
    }
    // A refused request changes nothing.
    auto res = m_pClient->Post("/api/image/open", {{"Origin", "http://evil.example"}, {"X-Zflash-Token", token}},
                               json{{"path", m_strBlinky}}.dump(), "application/json");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 403);
    EXPECT_EQ(Get("/api/state")["image"]["bytes"], 0);
    // The page's own requests carry its token.
    EXPECT_THAT(m_pClient->Get(("/?token=" + token).c_str())->body, HasSubstr("data-token=\"" + token + "\""));
}

TEST(UiServerListen, ParsesHostAndPort)
{
    const std::tuple<const char*, bool, std::string, int> cases[] = {
        {"127.0.0.1:8080", true, "127.0.0.1", 8080}, {"8080", true, "127.0.0.1", 8080},
        {"0.0.0.0", true, "0.0.0.0", 0},              {"[::1]:9000", true, "::1", 9000},
        {"host:99999", false, "", 0},                 {"host:80x", false, "", 0},
        {"[::1", false, "", 0}};
    for (const auto& [text, ok, host, port] : cases) {
        std::pair<std::string, int> parsed{"", -1};
        EXPECT_EQ(CUiServer::ParseListen(text, &parsed.first, &parsed.second), ok) << text;
        if (ok) {
            EXPECT_EQ(parsed, std::pair(host, port)) << text;
        }
    }
    EXPECT_NE(CUiServer::RandomToken(), CUiServer::RandomToken());
    EXPECT_EQ(CUiServer::RandomToken().size(), 64u);
}

TEST_F(UiServerTest, APortInUseIsAClearFailure)
{
    CUiServer second;
    std::string error;
    EXPECT_FALSE(second.Start("127.0.0.1", m_server.Port(), &error));
    EXPECT_THAT(error, HasSubstr("cannot listen on 127.0.0.1:" + std::to_string(m_server.Port())));
    // The first one still serves.
    EXPECT_EQ(Get("/api/state")["running"], nullptr);
}

TEST_F(UiServerTest, EditsTheImageWithNamedUndoAndRedoAndSavesEveryFormat)
{
    Post("/api/image/open", {{"path", m_strBlinky}});
    const std::string original = Bytes(0, 0x40);
    Post("/api/image/edit", {{"address", 0x10}, {"value", 0xAB}});
    Post("/api/image/fill", {{"from", "0x20"}, {"to", "0x2F"}, {"value", "0x55"}});
    Post("/api/image/clear", {{"from", "0x400"}, {"to", "0x4FF"}});
    json image = Get("/api/state")["image"];
    EXPECT_EQ(image["undo"], json({"Edit byte at H'00000010", "Fill H'00000020 - H'0000002F with H'55",
                                   "Clear H'00000400 - H'000004FF"}));
    EXPECT_EQ(image["ranges"], json({{0, 255}, {0x500, 0x9FF}, {0x8000, 0x803F}}));
    EXPECT_EQ(Bytes(0x10, 1), "ab");
    EXPECT_EQ(Bytes(0x20, 2), "5555");

    EXPECT_EQ(Post("/api/image/undo")["undone"], "Clear H'00000400 - H'000004FF");
    EXPECT_EQ(Post("/api/image/undo")["undone"], "Fill H'00000020 - H'0000002F with H'55");
    EXPECT_EQ(Post("/api/image/undo")["undone"], "Edit byte at H'00000010");
    Post("/api/image/undo", json::object(), 409);
    EXPECT_EQ(Bytes(0, 0x40), original);
    EXPECT_EQ(Get("/api/state")["image"]["ranges"], json({{0, 255}, {0x400, 0x9FF}, {0x8000, 0x803F}}));
    EXPECT_EQ(Post("/api/image/redo")["redone"], "Edit byte at H'00000010");
    EXPECT_EQ(Bytes(0x10, 1), "ab");
    EXPECT_EQ(Get("/api/state")["image"]["redo"].size(), 2u);
    // A new edit forgets what could be redone.
    Post("/api/image/edit", {{"address", 0x11}, {"value", 1}});
    EXPECT_TRUE(Get("/api/state")["image"]["redo"].empty());

    // Each save is read back in turn, under a name that does not say which format it holds.
    const auto all = [&] { return Bytes(0, 0x100) + Bytes(0x400, 0x600) + Bytes(0x8000, 0x40); };
    const std::string edited = all();
    for (const std::string format : {"srec", "hex", "fpr", "cde", "raw"}) {
        const std::string path = m_dir.File("out-" + format + ".dat");
        EXPECT_EQ(Post("/api/image/save", {{"path", path}, {"format", format}})["bytes"], 0x100 + 0x600 + 0x40)
            << format;
        Post("/api/image/new");
        Post("/api/image/open", {{"path", path}, {"format", format}});
        EXPECT_EQ(all(), edited) << format;
        EXPECT_EQ(Get("/api/state")["image"]["bytes"], 0x100 + 0x600 + 0x40) << format;
    }
}

TEST_F(UiServerTest, RefusesBadInputWithAReason)
{
    const std::tuple<const char*, std::string, int, const char*> cases[] = {
        {"/api/image/open", "{", 400, "not a JSON object"},
        {"/api/image/open", "[1]", 400, "not a JSON object"},
        {"/api/image/open", R"({"path":"/nonexistent/x.mot"})", 400, "x.mot"},
        {"/api/image/open", R"({"path":"a.mot","format":"elf"})", 400, "unknown format"},
        {"/api/image/save", R"({"path":"/tmp/never.mot"})", 400, "no data"},
        {"/api/image/edit", R"({"address":1,"value":256})", 400, "0-255"},
        {"/api/image/fill", R"({"from":"0x10","to":"0x0","value":1})", 400, "from <= to"},
        {"/api/image/clear", R"({"from":"0","to":"0x7FFFFFFF"})", 400, "16 MiB"},
        {"/api/connect", "{}", 409, "no device"},
        {"/api/program", "{}", 409, "no device"},
        {"/api/device", R"({"definition":"/nonexistent.ini"})", 400, "not found"},
        {"/api/device", R"({"connection":"sideways"})", 400, "connection"},
        {"/api/answer", R"({"id":99,"answer":"yes"})", 409, "no such question"},
    };
    for (const auto& [path, body, status, reason] : cases) {
        auto res = m_pClient->Post(path, m_Headers, body, "application/json");
        ASSERT_TRUE(res) << path;
        EXPECT_EQ(res->status, status) << path << " " << body;
        EXPECT_THAT(res->body, HasSubstr(reason)) << path << " " << body;
    }
    Get("/api/image/bytes?from=0&length=0", 400);
    Get("/api/image/bytes?from=4294967295&length=2", 400);
}

TEST_F(UiServerTest, DrivesEveryOperationOnTheVirtualTarget)
{
    Post("/api/device", {{"definition", "ZT31F256.ini"}, {"port", "sim"}, {"erase", "ask"}});
    json e = Run("/api/connect");
    ASSERT_TRUE(e["ok"]) << e;
    json device = Get("/api/state")["device"];
    EXPECT_TRUE(device["connected"]);
    EXPECT_EQ(device["identity"]["device"], "ZT31F256");
    EXPECT_FALSE(device["identity"]["kernel_word"].get<std::string>().empty());
    EXPECT_TRUE(Run("/api/blank")["blank"]);
    EXPECT_TRUE(Run("/api/blocks")["ok"]);

    Post("/api/image/open", {{"path", m_strBlinky}});
    Post("/api/image/edit", {{"address", 0x10}, {"value", 0xAB}});
    // The library asks whether to verify; the client says yes.
    std::vector<std::string> questions;
    e = Run("/api/program", json::object(), "yes", &questions);
    EXPECT_TRUE(e["ok"]) << e;
    EXPECT_TRUE(e["verified"]);
    EXPECT_THAT(questions, ::testing::ElementsAre(HasSubstr("read-back verification")));
    std::vector<std::string> states(12, "blank");
    states[0] = states[8] = "verified";
    EXPECT_EQ(BlockStates(), states);
    EXPECT_FALSE(Run("/api/blank")["blank"]);
    EXPECT_TRUE(Run("/api/verify")["verified"]);

    // The blocks now hold data: writing again asks before erasing each one.
    Post("/api/image/edit", {{"address", 0x11}, {"value", 0x12}});
    questions.clear();
    e = Run("/api/program", json::object(), "yes", &questions);
    EXPECT_TRUE(e["verified"]) << e;
    EXPECT_THAT(questions, ::testing::Contains(HasSubstr("BLK")).Times(2));

    // A production job: the log records it, the unit counts.
    const std::string log = m_dir.File("job.log");
    e = Run("/api/program", {{"production", true}, {"job", "J-7"}, {"operator", "Ann"}, {"log", log}});
    EXPECT_TRUE(e["pass"]) << e;
    EXPECT_EQ(Get("/api/state")["job"]["units"], 1);
    EXPECT_THAT(ReadAll(log), HasSubstr("Job Number : J-7"));
    EXPECT_THAT(ReadAll(log), HasSubstr("Operator Name : Ann"));

    // Reading into the image brings the chip's bytes, and the history starts afresh.
    Run("/api/connect");
    Post("/api/image/new");
    e = Run("/api/read", {{"start", "0"}, {"length", "0x100"}});
    ASSERT_TRUE(e["ok"]) << e;
    EXPECT_EQ(Bytes(0x10, 2), "ab12");
    EXPECT_TRUE(Get("/api/state")["image"]["undo"].empty());

    const nlohmann::json erased = Run("/api/erase", {{"blocks", {"BLK8"}}});
    EXPECT_TRUE(erased["ok"]) << erased;
    EXPECT_EQ(BlockStates()[8], "erased");
    Post("/api/erase", {{"blocks", {"NOPE"}}}, 400);
    EXPECT_TRUE(Run("/api/erase", {{"all", true}})["ok"]);
    EXPECT_TRUE(Run("/api/blank")["blank"]);
    EXPECT_TRUE(Run("/api/disconnect")["ok"]);
    EXPECT_FALSE(Get("/api/state")["device"]["connected"]);
}

TEST_F(UiServerTest, CancelEndsAnOperationWaitingOnAQuestionAndFreesTheDocument)
{
    Post("/api/device", {{"port", "sim"}});
    Post("/api/image/open", {{"path", m_strBlinky}});
    Post("/api/program", json::object(), 202);
    const json q = WaitFor([](const json& x) { return x["event"] == "question"; });
    // While the operation holds the document the image is read-only and no second operation starts.
    EXPECT_TRUE(Get("/api/state")["image"]["readonly"]);
    EXPECT_THAT(Post("/api/image/edit", {{"address", 0}, {"value", 1}}, 409)["error"].get<std::string>(),
                HasSubstr("being used by another operation"));
    Post("/api/blank", json::object(), 409);
    EXPECT_TRUE(Post("/api/cancel")["cancelled"]);
    const json e = WaitFor([](const json& x) { return x["event"] == "finished"; });
    EXPECT_TRUE(e["cancelled"]) << e;
    EXPECT_FALSE(e["verified"]);
    Post("/api/answer", {{"id", q["id"]}, {"answer", "yes"}}, 409);
    EXPECT_FALSE(Get("/api/state")["image"]["readonly"]);
    Post("/api/image/edit", {{"address", 0}, {"value", 1}});
}

} // namespace
