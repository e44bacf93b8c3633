#include "cli/answer_body.h"

#include "host/base64.h"

#include <algorithm>
#include <cstring>

namespace tessaron::cli {

namespace {

// The first pieces of an answer of unknown length are small, as most answers are.
constexpr std::size_t firstPieceBytes = 3u << 10;

constexpr std::size_t multipleOfThree(std::size_t bytes) { return (bytes + 2) / 3 * 3; }

// The next piece of a body that has `pieces` full ones holding `read` bytes, with `size`
// bytes more to take.
std::size_t nextPieceBytes(std::size_t pieces, std::size_t read, const boost::optional<std::uint64_t>& declared,
                           std::size_t size) {
    std::size_t capacity = AnswerBody::pieceBytes;
    if (declared) {
        const std::uint64_t left = *declared > read ? *declared - read : size;
        capacity = multipleOfThree(static_cast<std::size_t>(std::min<std::uint64_t>(left, AnswerBody::pieceBytes)));
    } else if (pieces < 2) {
        capacity = firstPieceBytes << (3 * pieces);
    }
    return std::max(capacity, std::size_t{3});
}

}  // namespace

std::size_t AnswerBody::growth(const value_type& body, const boost::optional<std::uint64_t>& declared,
                               std::size_t bytes) {
    std::size_t spare = body.pieces.empty() ? 0 : body.pieces.back().capacity - body.pieces.back().size;
    std::size_t read = body.size;
    // A body of a declared length takes no more than is left of it.
    if (declared) bytes = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, *declared > read ? *declared - read : 0));
    std::size_t grown = 0;
    for (std::size_t pieces = body.pieces.size(); bytes > spare; ++pieces) {
        bytes -= spare;
        read += spare;
        spare = nextPieceBytes(pieces, read, declared, bytes);
        grown += spare;
    }
    return grown;
}

void AnswerBody::reader::append(const char* data, std::size_t size) {
    while (size > 0) {
        if (body_.pieces.empty() || body_.pieces.back().size == body_.pieces.back().capacity) {
            const std::size_t capacity = nextPieceBytes(body_.pieces.size(), body_.size, declared_, size);
            body_.pieces.push_back({std::make_unique_for_overwrite<char[]>(capacity), 0, capacity});
            body_.capacity += capacity;
        }
        Piece& piece = body_.pieces.back();
        const std::size_t now = std::min(size, piece.capacity - piece.size);
        std::memcpy(piece.bytes.get() + piece.size, data, now);
        piece.size += now;
        body_.size += now;
        data += now;
        size -= now;
    }
}

AnswerFrame answerFrameAround(const tunnel::TunnelResponseMessage& message) {
    AnswerFrame frame;
    if (message.body.empty()) {
        frame.text = tunnel::encode(message);
    } else {
        auto bodiless = message;
        bodiless.body.clear();
        frame.text = tunnel::encode(bodiless);
    }
    // "body" is the frame's first member (members are in order of their names).
    constexpr std::string_view member = R"("body":")";
    frame.bodyAt = frame.text.find(member) + member.size();
    return frame;
}

std::size_t answerFrameBytes(const AnswerFrame& frame, std::size_t bodyBytes) {
    return frame.text.size() + base64EncodedSize(bodyBytes);
}

std::string answerFrame(const AnswerFrame& frame, AnswerBody::value_type&& body) {
    // The frame's room is reserved at once but filled piece by piece, so that what the
    // frame takes grows as the pieces encoded into it are freed.
    std::string text;
    text.reserve(answerFrameBytes(frame, body.size));
    text.append(frame.text, 0, frame.bodyAt);
    for (auto& piece : body.pieces) {
        // Every piece but the last holds a multiple of three bytes: the encodings follow on.
        const std::size_t at = text.size();
        text.resize(at + base64EncodedSize(piece.size));
        base64EncodeTo(std::string_view(piece.bytes.get(), piece.size), text.data() + at);
        piece = {};
    }
    body = {};
    text.append(frame.text, frame.bodyAt);
    return text;
}

}  // namespace tessaron::cli
