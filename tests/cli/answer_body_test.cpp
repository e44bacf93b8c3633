#include "cli/answer_body.h"

#include "host/base64.h"
#include "panel/tunnel_messages.h"

#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

using namespace tessaron;
namespace bhttp = boost::beast::http;

// An answer read from a service, declared or chunked and of any size, takes about the
// memory it has read while it is read, and becomes the same frame as the plain encoder's.
TEST(AnswerBody, HoldsWhatWasReadAndEncodesToThePlainFrame) {
    constexpr std::size_t piece = cli::AnswerBody::pieceBytes;
    struct Row {
        std::size_t size;
        bool chunked;
        std::string id;
    };
    const std::vector<Row> rows = {
        {0, false, "r1"},         {1, false, "r1"},         {2, true, "r1"},           {3071, true, "r1"},
        {3072, true, "r1"},       {3073, true, "r1"},       {piece - 1, false, "r1"},  {piece, false, "r1"},
        {piece + 1, false, "r1"}, {3 * piece + 5, true, "r1"}, {(1u << 20) + 2, false, "r1"},
        {1000, false, "quote\"and\\back"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.size) + (row.chunked ? " chunked" : " declared") + " " + row.id);
        std::string body(row.size, '\0');
        for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 131 + i / 7);
        std::string wire = "HTTP/1.1 200 OK\r\nX-Test: a\r\n";
        if (row.chunked) {
            wire += "Transfer-Encoding: chunked\r\n\r\n";
            for (std::size_t at = 0; at < body.size(); at += 1000) {
                const std::string part = body.substr(at, 1000);
                char size[16];
                std::snprintf(size, sizeof size, "%zx\r\n", part.size());
                wire += size + part + "\r\n";
            }
            wire += "0\r\n\r\n";
        } else {
            wire += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
        }
        // Read as the helper reads a service: from a socket, a part at a time.
        boost::asio::io_context io;
        boost::asio::local::stream_protocol::socket ours(io), theirs(io);
        boost::asio::local::connect_pair(ours, theirs);
        std::thread service([&] {
            boost::system::error_code ignored;
            boost::asio::write(theirs, boost::asio::buffer(wire), ignored);
        });
        bhttp::response_parser<cli::AnswerBody> parser;
        boost::beast::flat_buffer buffer;
        boost::beast::error_code ec;
        bhttp::read_header(ours, buffer, parser, ec);
        ASSERT_FALSE(ec) << ec.message();
        std::size_t largest = 0;
        while (!ec && !parser.is_done()) {
            bhttp::read_some(ours, buffer, parser, ec);
            // While it is read, the body holds about what it has read.
            const auto& sofar = parser.get().body();
            largest = std::max(largest, sofar.capacity - sofar.size);
        }
        service.join();
        ASSERT_FALSE(ec) << ec.message();
        EXPECT_LE(largest, piece);
        ASSERT_TRUE(parser.is_done());
        auto& read = parser.get().body();
        EXPECT_EQ(read.size, row.size);
        if (!row.chunked) {
            EXPECT_LE(read.capacity, row.size + 2);
        }
        EXPECT_LE(read.capacity, row.size + piece);

        const tunnel::TunnelResponseMessage message{"response", row.id, 200, {{"X-Test", "a"}}, ""};
        auto expected = message;
        expected.body = base64Encode(body);
        const auto around = cli::answerFrameAround(message);
        EXPECT_EQ(cli::answerFrameBytes(around, row.size), tunnel::encode(expected).size());
        EXPECT_EQ(cli::answerFrame(around, std::move(read)), tunnel::encode(expected));
    }
}
