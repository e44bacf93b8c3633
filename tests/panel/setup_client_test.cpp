#include "panel/setup_client.h"

#include "panel/http_client.h"
#include "support/scripted_http_server.h"

#include <gtest/gtest.h>

#include <functional>

namespace tessaron {
namespace {
using testing::ScriptedHttpServer;
using Reply = ScriptedHttpServer::Response;

const std::string setupID = "setup_0123456789abcdef0123456789abcdef0123";
const std::string unconfirmed = "Could not confirm setup. Reopen the Mac app and try again; your VM is preserved.";
const std::string invalidDetails = "The panel returned invalid setup details.";

Reply reply(int status, std::string body) { return {status, std::move(body), {{"Content-Type", "application/json"}}}; }

std::string ticketJSON(const std::string& base, const std::string& link, const std::string& secret = std::string(40, 'k'),
                       const std::string& code = "ABCDEF012345", const std::string& id = setupID) {
    json::Json ticket{{"id", id}, {"code", code}, {"deviceSecret", secret}, {"expiresAt", 1765000000},
                      {"authorizeURL", link.empty() ? base + "/console/connect?setup=" + id : link}};
    return json::encode(ticket);
}

std::string setupMessage(const std::function<void()>& call) {
    try {
        call();
    } catch (const SetupError& error) {
        return error.what();
    }
    return "(no setup error)";
}

SetupTicket validTicket(const std::string& base) {
    return SetupTicket::fromJson(json::parseObject(ticketJSON(base, "")));
}

TEST(SetupClient, AcceptsOnlyPlainOrigins) {
    for (const char* origin : {"https://panel.example", "https://panel.example/", "http://127.0.0.1:8080",
                               "http://localhost", "http://[::1]:9/", "https://panel.example:8443"})
        EXPECT_NO_THROW(SetupClient(*Url::parse(origin))) << origin;
    for (const char* origin : {"http://panel.example", "http://10.0.0.1", "ftp://panel.example", "https://panel.example/app",
                               "https://user:pw@panel.example", "https://user@panel.example", "https://panel.example?x=1",
                               "https://panel.example#top", "https:panel.example", "https:///path",
                               // Scheme and host are compared as written, as the panel client does.
                               "HTTPS://panel.example", "HTTP://127.0.0.1:8080", "http://LOCALHOST:8080"})
        EXPECT_EQ(setupMessage([&] { SetupClient(*Url::parse(origin)); }),
                  "Use an HTTPS Tessaron panel address without a path or password.")
            << origin;
}

TEST(SetupClient, StartPostsTheProfileUnchangedAndChecksTheTicket) {
    std::string base;
    ScriptedHttpServer server([&](const auto&) { return reply(201, ticketJSON(base, "")); });
    base = server.base();
    SetupClient client(*Url::parse(base + "/"));
    const std::string profile = R"({"name":"Studio","allocatedCpu":4})";
    SetupTicket ticket = client.start(profile);
    EXPECT_EQ(ticket.id, setupID);
    EXPECT_EQ(ticket.code, "ABCDEF012345");
    EXPECT_EQ(ticket.expiresAt, 1765000000.0);

    auto sent = server.requests().at(0);
    EXPECT_EQ(sent.method, "POST");
    EXPECT_EQ(sent.target, "/api/tessaron/setup");
    EXPECT_EQ(sent.body, profile);
    EXPECT_EQ(sent.header("content-type"), "application/json");
    EXPECT_EQ(sent.header("authorization"), "");
}

TEST(SetupClient, RefusesTicketsOfTheWrongShape) {
    std::string answer;
    ScriptedHttpServer server([&](const auto&) { return reply(200, answer); });
    const std::string base = server.base();
    const std::string link = base + "/console/connect?setup=" + setupID;
    SetupClient client(*Url::parse(base));

    struct Case {
        std::string name;
        std::string body;
        bool valid;
    };
    const std::string otherPort = "http://127.0.0.1:" + std::to_string(server.port() + 1);
    const std::vector<Case> cases = {
        {"32-character secret", ticketJSON(base, "", std::string(32, 'k')), true},
        {"128-character secret", ticketJSON(base, "", std::string(128, 'k')), true},
        {"percent-encoded query", ticketJSON(base, base + "/console/connect?%73etup=" + setupID), true},
        {"31-character secret", ticketJSON(base, "", std::string(31, 'k')), false},
        // The secret is sent as a bearer token on every poll: nothing that could end the line.
        {"secret with a line break", ticketJSON(base, "", std::string(20, 'k') + "\r\nX-Injected: yes"), false},
        {"secret with a space", ticketJSON(base, "", std::string(20, 'k') + " " + std::string(20, 'k')), false},
        {"secret beyond ASCII", ticketJSON(base, "", std::string(38, 'k') + "\u00e9"), false},
        {"129-character secret", ticketJSON(base, "", std::string(129, 'k')), false},
        {"lower-case code", ticketJSON(base, "", std::string(40, 'k'), "abcdef012345"), false},
        {"short code", ticketJSON(base, "", std::string(40, 'k'), "ABCDEF01234"), false},
        {"upper-case id", ticketJSON(base, "", std::string(40, 'k'), "ABCDEF012345", "setup_" + std::string(36, 'A')), false},
        {"id with a tail", ticketJSON(base, "", std::string(40, 'k'), "ABCDEF012345", setupID + "0"), false},
        {"extra query item", ticketJSON(base, link + "&x=1"), false},
        {"query naming another setup", ticketJSON(base, base + "/console/connect?setup=setup_" + std::string(36, 'b')), false},
        {"no query", ticketJSON(base, base + "/console/connect"), false},
        {"other path", ticketJSON(base, base + "/console/approve?setup=" + setupID), false},
        {"other port", ticketJSON(base, otherPort + "/console/connect?setup=" + setupID), false},
        {"other scheme", ticketJSON(base, "https://127.0.0.1:" + std::to_string(server.port()) + "/console/connect?setup=" + setupID), false},
        {"other host", ticketJSON(base, "http://localhost:" + std::to_string(server.port()) + "/console/connect?setup=" + setupID), false},
        {"fragment", ticketJSON(base, link + "#x"), false},
        {"user", ticketJSON(base, "http://me@127.0.0.1:" + std::to_string(server.port()) + "/console/connect?setup=" + setupID), false},
    };
    for (const auto& c : cases) {
        answer = c.body;
        if (c.valid)
            EXPECT_NO_THROW(client.start("{}")) << c.name;
        else
            EXPECT_EQ(setupMessage([&] { client.start("{}"); }), invalidDetails) << c.name;
    }

    answer = R"({"id":"x"})";
    EXPECT_THROW(client.start("{}"), json::DecodingError);
}

TEST(SetupClient, ReportsStagesAndReadsStatusWithTheDeviceSecret) {
    std::string answer = R"({"stage":"linking","id":"other"})";
    ScriptedHttpServer server([&](const auto&) { return reply(200, answer); });
    SetupClient client(*Url::parse(server.base()));
    PendingSetup setup(validTicket(server.base()), *Url::parse(server.base()), 2, 4);

    EXPECT_EQ(client.update(setup, "linking").stage, "linking");
    answer = R"({"stage":"complete","machineId":"m-7"})";
    EXPECT_EQ(client.update(setup, "complete").machineId, "m-7");
    EXPECT_EQ(client.status(setup).stage, "complete");

    auto sent = server.requests();
    ASSERT_EQ(sent.size(), 3u);
    for (const auto& request : sent) {
        EXPECT_EQ(request.target, "/api/tessaron/agent/setup/" + setupID);
        EXPECT_EQ(request.header("authorization"), "Bearer " + std::string(40, 'k'));
        EXPECT_EQ(request.header("content-type"), "application/json");
    }
    EXPECT_EQ(json::parseObject(sent[0].body), (json::Json{{"stage", "linking"}}));
    EXPECT_EQ(json::parseObject(sent[1].body), (json::Json{{"stage", "complete"}, {"deviceToken", setup.deviceToken()}}));
    EXPECT_EQ(sent[2].method, "GET");
    EXPECT_EQ(sent[2].body, "");
}

TEST(SetupClient, ASavedSecretThatCouldBreakTheHeaderIsNeverSent) {
    ScriptedHttpServer server([](const auto&) { return reply(200, R"({"stage":"linking"})"); });
    SetupClient client(*Url::parse(server.base()));
    PendingSetup setup(validTicket(server.base()), *Url::parse(server.base()), 2, 4);
    setup.ticket.deviceSecret = std::string(32, 'k') + "\r\nX-Injected: yes";  // as a damaged pending-setup.json holds it
    EXPECT_EQ(setupMessage([&] { client.status(setup); }), unconfirmed);
    EXPECT_EQ(setupMessage([&] { client.update(setup, "linking"); }), unconfirmed);
    EXPECT_TRUE(server.requests().empty());
}

TEST(SetupClient, ResumeKeepsTheRecordButTakesTheNewCodeAndExpiry) {
    std::string answer = R"({"stage":"awaiting_account","code":"FEDCBA987654","expiresAt":1765009999,"id":"ignored"})";
    ScriptedHttpServer server([&](const auto&) { return reply(200, answer); });
    SetupClient client(*Url::parse(server.base()));
    PendingSetup setup(validTicket(server.base()), *Url::parse(server.base()), 2, 4);

    PendingSetup resumed = client.resume(setup);
    EXPECT_EQ(json::parseObject(server.requests().at(0).body), (json::Json{{"stage", "resume"}}));
    EXPECT_EQ(resumed.ticket.code, "FEDCBA987654");
    EXPECT_EQ(resumed.ticket.expiresAt, 1765009999.0);
    EXPECT_EQ(resumed.ticket.id, setup.ticket.id);
    EXPECT_EQ(resumed.ticket.deviceSecret, setup.ticket.deviceSecret);
    EXPECT_EQ(resumed.deviceToken(), setup.deviceToken());
    EXPECT_EQ(resumed.requestedCPU(), 2);

    for (const char* bad : {R"({"stage":"awaiting_account","expiresAt":1})",
                            R"({"stage":"awaiting_account","code":"fedcba987654","expiresAt":1})",
                            R"({"stage":"awaiting_account","code":"FEDCBA987654"})"}) {
        answer = bad;
        EXPECT_EQ(setupMessage([&] { client.resume(setup); }), "The panel returned invalid setup progress.") << bad;
    }
}

TEST(SetupClient, FailedAnswersCarryThePanelTextOrTheFixedMessage) {
    Reply next;
    ScriptedHttpServer server([&](const auto&) { return next; });
    SetupClient client(*Url::parse(server.base()));
    PendingSetup setup(validTicket(server.base()), *Url::parse(server.base()), 2, 4);

    struct Case {
        std::string name;
        Reply answer;
        std::string message;  // empty: success
    };
    const std::string big(65'536 - 21, 'x');
    const std::vector<Case> cases = {
        {"403 with error text", reply(403, R"({"error":"This setup has expired.","code":"E1"})"), "This setup has expired."},
        {"403 with a number beside the error", reply(403, R"({"error":"Nope","retry":3})"), unconfirmed},
        {"500 without error key", reply(500, R"({"message":"boom"})"), unconfirmed},
        {"404 with text body", {404, "not found", {}}, unconfirmed},
        {"302 is not followed", {302, "", {{"Location", server.base() + "/elsewhere"}}}, unconfirmed},
        {"2xx of exactly 65,536 bytes", reply(200, R"({"stage":"ok","x":")" + big + R"("})"), ""},
        {"2xx of 65,537 bytes", reply(200, R"({"stage":"ok","x":")" + big + R"(x"})"), unconfirmed},
        {"2xx far beyond the read limit", reply(200, std::string(3 << 20, ' ')), unconfirmed},
    };
    ASSERT_EQ(std::string(R"({"stage":"ok","x":")" + big + R"("})").size(), 65'536u);
    for (const auto& c : cases) {
        next = c.answer;
        if (c.message.empty())
            EXPECT_NO_THROW(client.status(setup)) << c.name;
        else
            EXPECT_EQ(setupMessage([&] { client.status(setup); }), c.message) << c.name;
    }
    EXPECT_EQ(server.requests().size(), cases.size());  // nothing retried, no redirect followed
}

TEST(SetupClient, TransportErrorsPassThrough) {
    int port;
    {
        ScriptedHttpServer gone([](const auto&) { return Reply{}; });
        port = gone.port();
    }
    SetupClient client(*Url::parse("http://127.0.0.1:" + std::to_string(port)));
    EXPECT_THROW(client.start("{}"), http::TransportError);
}

}  // namespace
}  // namespace tessaron
