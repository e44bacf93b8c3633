#pragma once
// The body of a local service's answer as the helper reads it, for the HTTP parser: pieces
// allocated once each at the size they will hold, so that what an answer takes in memory is
// what it has read (a declared length is not reserved ahead, and nothing grows by doubling
// and copying), and so that its frame is encoded piece by piece, each freed once encoded.

#include "panel/tunnel_messages.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/optional.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tessaron::cli {

struct AnswerBody {
    // The largest piece: a multiple of 3, so that every full piece encodes to Base64 alone.
    static constexpr std::size_t pieceBytes = 3u << 16;

    struct Piece {
        std::unique_ptr<char[]> bytes;
        std::size_t size = 0;
        std::size_t capacity = 0;
    };
    struct value_type {
        std::vector<Piece> pieces;  // every piece but the last is full
        std::size_t size = 0;       // bytes read
        std::size_t capacity = 0;   // bytes allocated for them
    };

    // The room that taking `bytes` more would allocate for a body that declared `declared`.
    static std::size_t growth(const value_type& body, const boost::optional<std::uint64_t>& declared,
                              std::size_t bytes);

    class reader {
    public:
        template <bool isRequest, class Fields>
        reader(boost::beast::http::header<isRequest, Fields>&, value_type& body) : body_(body) {}

        void init(const boost::optional<std::uint64_t>& length, boost::beast::error_code& ec) {
            declared_ = length;
            ec = {};
        }
        template <class Buffers>
        std::size_t put(const Buffers& buffers, boost::beast::error_code& ec) {
            ec = {};
            std::size_t taken = 0;
            for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers);
                 ++it) {
                const boost::asio::const_buffer buffer(*it);
                append(static_cast<const char*>(buffer.data()), buffer.size());
                taken += buffer.size();
            }
            return taken;
        }
        void finish(boost::beast::error_code& ec) { ec = {}; }

    private:
        void append(const char* data, std::size_t size);
        value_type& body_;
        boost::optional<std::uint64_t> declared_;
    };
};

// An answer's "response" frame, encoded around the place of its Base64 body: `text` is the
// frame of `message` with an empty body, the body going at `bodyAt`.
struct AnswerFrame {
    std::string text;
    std::size_t bodyAt = 0;
};
AnswerFrame answerFrameAround(const tunnel::TunnelResponseMessage& message);  // its body ignored
// The size of the frame with `bodyBytes` of body.
std::size_t answerFrameBytes(const AnswerFrame& frame, std::size_t bodyBytes);
// The frame carrying `body`, the same text as tunnel::encode() gives with the Base64 of the
// whole body. The pieces are freed as they are encoded.
std::string answerFrame(const AnswerFrame& frame, AnswerBody::value_type&& body);

}  // namespace tessaron::cli
