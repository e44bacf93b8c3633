#include "panel/http_client.h"

#include "support/scripted_http_server.h"

#include <gtest/gtest.h>

namespace tessaron::http {
namespace {
using testing::ScriptedHttpServer;
using Reply = ScriptedHttpServer::Response;

TEST(HttpClient, ARedirectToPlainHTTPIsRefusedAsSuchAfterOneRequest) {
    struct Case {
        std::string location;
        int status;
    };
    // Each of these would loop forever if followed, so any other failure would also end it:
    // the kind and the request count tell the refusal apart.
    for (const Case& c : std::vector<Case>{{"/again", 302}, {"http://127.0.0.1:1/x", 301}, {"ftp://127.0.0.1/x", 307}}) {
        SCOPED_TRACE(c.location);
        ScriptedHttpServer server([&](const auto&) { return Reply{c.status, "", {{"Location", c.location}}}; });
        Request request;
        request.url = server.base() + "/start";
        request.followRedirects = true;
        try {
            perform(request);
            ADD_FAILURE() << "followed";
        } catch (const TransportError& error) {
            EXPECT_EQ(error.kind(), TransportError::Kind::insecureRedirect);
            EXPECT_STREQ(error.what(), "The server redirected to an address that is not https; the redirect was not followed.");
        }
        EXPECT_EQ(server.requests().size(), 1u);
    }
}

TEST(HttpClient, LongAnswersFailOrAreCutAtTheLimitAsAsked) {
    struct Case {
        std::size_t bodyBytes;
        bool truncate;
        bool fails;
        bool truncated;
    };
    const std::size_t limit = 1000;
    const std::vector<Case> cases = {
        {limit, false, false, false},
        {limit + 1, false, true, false},
        {limit, true, false, false},
        {limit + 1, true, false, true},
        {limit * 300, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bodyBytes) + (c.truncate ? " cut" : " whole"));
        ScriptedHttpServer server([&](const auto&) { return Reply{418, std::string(c.bodyBytes, 'x'), {}}; });
        Request request;
        request.url = server.base();
        request.maxResponseBytes = limit;
        request.truncateLongAnswers = c.truncate;
        try {
            const Response response = perform(request);
            EXPECT_FALSE(c.fails);
            EXPECT_EQ(response.status, 418);
            EXPECT_EQ(response.truncated, c.truncated);
            EXPECT_EQ(response.body.size(), std::min(c.bodyBytes, limit));
        } catch (const TransportError& error) {
            EXPECT_TRUE(c.fails) << error.what();
            EXPECT_EQ(error.kind(), TransportError::Kind::tooLarge);
        }
    }
}

TEST(HttpClient, AHeaderWithALineBreakIsNeverSent) {
    ScriptedHttpServer server([](const auto&) { return Reply{200, "{}", {}}; });
    for (const std::string& value : std::vector<std::string>{"Bearer a\r\nX-Injected: yes", "a\nb", std::string("a\0b", 3), "tail\r"}) {
        Request request;
        request.url = server.base();
        request.headers = {{"authorization", value}};
        EXPECT_THROW(perform(request), TransportError);
    }
    EXPECT_TRUE(server.requests().empty());
}

}  // namespace
}  // namespace tessaron::http
