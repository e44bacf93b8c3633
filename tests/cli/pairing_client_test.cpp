#include "cli/pairing_client.h"

#include "cli/cli_options.h"
#include "support/scripted_http_server.h"

#include <gtest/gtest.h>

namespace tessaron::cli {
namespace {
using testing::ScriptedHttpServer;
using Reply = ScriptedHttpServer::Response;

AgentProfilePayload profile() {
    return {"Studio", "Apple M2 Max", "Mac14,13", 12, 64, 4, 8};
}

Reply json(int status, std::string body) {
    return {status, std::move(body), {{"Content-Type", "application/json"}}};
}

std::string pairingMessage(const std::function<void()>& call) {
    try {
        call();
    } catch (const CLIError& error) {
        EXPECT_EQ(error.kind(), CLIError::Kind::pairing);
        return error.what();
    }
    return "(no error)";
}

TEST(PairingClient, CreateCodePostsTheProfileAtTheHostRoot) {
    ScriptedHttpServer server([](const auto&) {
        return json(200, R"({"code":"K7Q-2MX","expiresAt":"in ten minutes","deviceSecret":"s3cret","extra":1})");
    });
    // The control URL's own path is replaced, not appended to.
    PairingClient client(*Url::parse(server.base() + "/panel/v2/"));
    PairingCodeResponse answer = client.createCode(profile());
    EXPECT_EQ(answer.code, "K7Q-2MX");
    EXPECT_EQ(answer.expiresAt, "in ten minutes");
    EXPECT_EQ(answer.deviceSecret, "s3cret");

    auto seen = server.requests().at(0);
    EXPECT_EQ(seen.method, "POST");
    EXPECT_EQ(seen.target, "/api/tessaron/agent/pairing-codes");
    EXPECT_EQ(seen.header("content-type"), "application/json");
    EXPECT_EQ(seen.header("authorization"), "");
    EXPECT_EQ(seen.body, R"({"name":"Studio","chip":"Apple M2 Max","modelIdentifier":"Mac14,13","cpuCores":12,)"
                         R"("memoryGiB":64,"allocatedCpu":4,"allocatedMemoryGiB":8})");
}

TEST(PairingClient, ErrorAnswersCarryThePanelsTextOrTheStatus) {
    ScriptedHttpServer server([](const ScriptedHttpServer::Request& request) {
        if (request.method == "POST") return json(404, R"({"error":"Pairing is closed for this account."})");
        return Reply{404, "<html>not here</html>", {{"Content-Type", "text/html"}}};
    });
    PairingClient client(*Url::parse(server.base()));
    EXPECT_EQ(pairingMessage([&] { client.createCode(profile()); }), "Pairing is closed for this account.");
    EXPECT_EQ(pairingMessage([&] { client.claim("ABC", "secret"); }), "The control plane returned HTTP 404.");

    // 2xx bodies that do not decode are the decoder's error, not a pairing message.
    server.setHandler([](const auto&) { return json(200, R"({"code":"X","expiresAt":"soon"})"); });
    EXPECT_THROW(client.createCode(profile()), json::DecodingError);
    server.setHandler([](const auto&) { return json(500, R"({"error":7})"); });
    EXPECT_EQ(pairingMessage([&] { client.createCode(profile()); }), "The control plane returned HTTP 500.");
}

TEST(PairingClient, ClaimDecodesPendingAndPairedAnswersAndEncodesTheCode) {
    std::string answer = R"({"status":"pending"})";
    int status = 202;
    ScriptedHttpServer server([&](const auto&) { return json(status, answer); });
    PairingClient client(*Url::parse(server.base() + "/sub"));

    PairingClaimResponse pending = client.claim("A B?c", "dev-secret");
    EXPECT_EQ(pending.status, "pending");
    EXPECT_FALSE(pending.machineId || pending.deviceToken || pending.edgeURLs || pending.error);
    auto seen = server.requests().back();
    EXPECT_EQ(seen.method, "GET");
    EXPECT_EQ(seen.target, "/api/tessaron/agent/pairing-codes/A%20B%3Fc");
    EXPECT_EQ(seen.header("authorization"), "Bearer dev-secret");

    status = 200;
    answer = R"({"status":"paired","machineId":"m-1","deviceToken":"tok","edgeURLs":["wss://edge.example/t"],"error":null})";
    PairingClaimResponse paired = client.claim("ABC", "dev-secret");
    EXPECT_EQ(paired.status, "paired");
    EXPECT_EQ(paired.machineId, "m-1");
    EXPECT_EQ(paired.deviceToken, "tok");
    EXPECT_EQ(paired.edgeURLs, std::vector<std::string>{"wss://edge.example/t"});
    EXPECT_FALSE(paired.error);

    answer = R"({"machineId":"m-1"})";
    EXPECT_THROW(client.claim("ABC", "dev-secret"), json::DecodingError);
    answer = R"({"status":"paired","edgeURLs":"wss://one"})";
    EXPECT_THROW(client.claim("ABC", "dev-secret"), json::DecodingError);
}

TEST(PairingClient, RedirectsAreFollowedOnlyWhenAskedAndNeverToPlainHTTP) {
    // The redirect leads to a good answer: following it would succeed.
    ScriptedHttpServer server([](const ScriptedHttpServer::Request& request) {
        if (request.target == "/elsewhere") return json(200, R"({"code":"K7Q-2MX","expiresAt":"soon","deviceSecret":"s"})");
        return Reply{302, "", {{"Location", "/elsewhere"}}};
    });
    // A client that refuses redirects receives the 302 itself.
    EXPECT_EQ(pairingMessage([&] { PairingClient(*Url::parse(server.base()), false).createCode(profile()); }),
              "The control plane returned HTTP 302.");
    EXPECT_EQ(server.requests().size(), 1u);
    // The pairing flow follows redirects, but the HTTP client never follows one to
    // plain http: the address is refused before a second request is sent.
    try {
        PairingClient(*Url::parse(server.base())).createCode(profile());
        ADD_FAILURE() << "the redirect to plain http was followed";
    } catch (const http::TransportError& error) {
        EXPECT_EQ(error.kind(), http::TransportError::Kind::insecureRedirect) << error.what();
    }
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests().back().target, "/api/tessaron/agent/pairing-codes");
}

TEST(PairingClient, PercentEncodingKeepsPathCharacters) {
    EXPECT_EQ(percentEncodePath("AZaz09-._~!$&'()*+,;=:@/"), "AZaz09-._~!$&'()*+,;=:@/");
    EXPECT_EQ(percentEncodePath("a b?c#d%e"), "a%20b%3Fc%23d%25e");
    EXPECT_EQ(percentEncodePath("\xc3\xa9"), "%C3%A9");
    EXPECT_EQ(PairingClient(*Url::parse("https://user@panel.example:8443/x/y?q=1")).resolve("/api/p"),
              "https://user@panel.example:8443/api/p");
}

}  // namespace
}  // namespace tessaron::cli
