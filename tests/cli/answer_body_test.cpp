#include "cli/answer_body.h"

#include "host/base64.h"

#include <gtest/gtest.h>

using namespace tessaron;

// An answer, of a declared length or not and of any size, holds about what it has read
// while it is read (in parts, as a socket gives them), and becomes the plain encoder's frame.
TEST(AnswerBody, HoldsWhatWasReadAndEncodesToThePlainFrame) {
    constexpr std::size_t piece = cli::AnswerBody::pieceBytes;
    const std::string escaped = "quote\"and\\back";
    const std::vector<std::tuple<std::size_t, bool, std::string>> rows = {
        {0, true, "r1"},     {1, true, "r1"},          {2, false, "r1"},         {3071, false, "r1"},
        {3072, false, "r1"}, {3073, false, "r1"},      {piece - 1, true, "r1"},  {piece, true, "r1"},
        {piece + 1, true, "r1"}, {3 * piece + 5, false, "r1"}, {(1u << 20) + 2, true, "r1"}, {1000, true, escaped},
    };
    for (const auto& [size, declared, id] : rows) {
        SCOPED_TRACE(std::to_string(size) + (declared ? " declared " : " chunked ") + id);
        std::string body(size, '\0');
        for (std::size_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 131 + i / 7);
        boost::beast::http::response_header<> header;
        cli::AnswerBody::value_type read;
        cli::AnswerBody::reader reader(header, read);
        boost::beast::error_code ec;
        reader.init(declared ? boost::optional<std::uint64_t>(size) : boost::none, ec);
        std::size_t largest = 0;
        for (std::size_t at = 0; at < size; at += 1000) {
            // What a part will allocate is known before it is taken.
            const std::size_t part = std::min<std::size_t>(1000, size - at), before = read.capacity;
            const auto growth = cli::AnswerBody::growth(read, declared ? boost::optional<std::uint64_t>(size) : boost::none, part);
            reader.put(boost::asio::buffer(body.data() + at, part), ec);
            EXPECT_EQ(read.capacity - before, growth) << at;
            largest = std::max(largest, read.capacity - read.size);
        }
        ASSERT_FALSE(ec);
        EXPECT_EQ(read.size, size);
        EXPECT_LE(largest, piece);
        EXPECT_LE(read.capacity, size + (declared ? 2 : piece));

        const tunnel::TunnelResponseMessage message{"response", id, 200, {{"X-Test", "a"}}, ""};
        auto expected = message;
        expected.body = base64Encode(body);
        const auto around = cli::answerFrameAround(message);
        EXPECT_EQ(cli::answerFrameBytes(around, size), tunnel::encode(expected).size());
        EXPECT_EQ(cli::answerFrame(around, std::move(read)), tunnel::encode(expected));
    }
}
