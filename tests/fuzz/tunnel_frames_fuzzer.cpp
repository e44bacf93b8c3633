// libFuzzer entry point for the decoder of received tunnel frames and the Base64 codec.
// Built and run by scripts/fuzz-frames.sh (clang, -fsanitize=fuzzer,address,undefined),
// outside the CMake build.
//
// What must hold for any input:
// - classify() either returns a frame or throws json::DecodingError; no other exception
//   (a leaked nlohmann type or range error would end the helper) and no crash;
// - a frame that decodes re-encodes to a frame that decodes to the same value;
// - a data frame that the cheap reading accepts decodes the same with the full decoder;
// - a frame read without the JSON tree (classify, decodeResponse, readFrameHead) reads as
//   the tree reads it;
// - Base64 decoding is strict: text that decodes is exactly the encoding of its bytes,
//   and every byte string survives encoding and decoding.

#include "host/base64.h"
#include "host/json.h"
#include "panel/tunnel_messages.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>
#include <string_view>

using namespace tessaron;
using namespace tessaron::tunnel;

namespace {

[[noreturn]] void fail(const char* what, std::string_view input) {
    std::fprintf(stderr, "tunnel frame fuzzer: %s\ninput: %.*s\n", what, static_cast<int>(input.size()), input.data());
    std::abort();
}

template <class Message, class Decode>
void roundTrip(const Message& message, Decode decode, std::string_view input) {
    const std::string text = encode(message);
    Message again;
    try {
        again = decode(text);
    } catch (const std::exception&) {
        fail("a decoded frame does not decode after encoding", input);
    }
    if (!(again == message)) fail("a decoded frame changed after encoding and decoding", input);
}

void checkBase64(std::string_view text) {
    if (const auto bytes = base64Decode(text)) {
        if (base64Encode(*bytes) != text) fail("Base64 accepted a non-canonical text", text);
    }
    const std::string encoded = base64Encode(text);
    const auto decoded = base64Decode(encoded);
    if (!decoded || *decoded != text) fail("Base64 lost bytes", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    checkBase64(input);

    // The cheap reading of data frames agrees with the full decoder on whatever it accepts.
    if (const auto view = recognizeStreamData(input)) {
        try {
            if (decodeKind(input).type != "stream_data") fail("a recognised data frame has another type", input);
            const TunnelStreamDataMessage full = decodeStreamData(input);
            if (full.id != view->id || full.data != view->data) fail("the fast path read a data frame differently", input);
        } catch (const json::DecodingError&) {
            fail("the full decoder rejects a recognised data frame", input);
        }
    }
    // Decoding while reading gives what the data decodes to afterwards.
    static std::vector<char> payload(streamDataBufferSize);
    const auto decoded = readStreamData(input, payload.data());
    const auto view = recognizeStreamData(input);
    if (decoded.has_value() != view.has_value()) fail("the two readings of a data frame disagree", input);
    if (decoded) {
        const auto bytes = base64Decode(view->data);
        const bool valid = bytes && bytes->size() <= maxStreamPayload;
        if (decoded->id != view->id || decoded->valid != valid ||
            (valid && std::string_view(payload.data(), decoded->size) != *bytes)) {
            fail("data decoded while reading differs", input);
        }
    }

    // The head read without a tree is the tree's "type" and "id".
    if (const auto head = readFrameHead(input)) {
        try {
            const json::Json object = json::parseObject(input);
            if (json::string(object, "type") != head->type) fail("the head has another type", input);
            const auto id = json::optionalString(object, "id");
            if (id.has_value() != head->id.has_value() || (id && *id != *head->id)) fail("the head has another id", input);
        } catch (const json::DecodingError&) {
            fail("the tree refuses a frame whose head was read", input);
        }
    }
    // An answer read without a tree is the one the tree gives, and a refused one is refused.
    {
        std::optional<TunnelResponseMessage> plain, tree;
        try {
            plain = decodeResponse(input);
        } catch (const json::DecodingError&) {
        }
        try {
            const json::Json o = json::parseObject(input);
            TunnelResponseMessage m{json::string(o, "type"), json::string(o, "id"), json::int64(o, "status"), {},
                                    json::string(o, "body")};
            const json::Json& headers = json::object(o, "headers");
            for (auto it = headers.begin(); it != headers.end(); ++it) {
                m.headers[it.key()] = json::asString(it.value(), it.key());
            }
            tree = m;
        } catch (const json::DecodingError&) {
        }
        if (plain != tree) fail("an answer reads differently without the tree", input);
    }

    ReceivedFrame frame;
    try {
        frame = classify(input);
    } catch (const json::DecodingError&) {
        return 0;
    } catch (const std::exception& e) {
        fail(e.what(), input);
    }
    // The decoders below read through the tree.
    try {
        if (const auto* request = std::get_if<TunnelRequestMessage>(&frame)) {
            if (!(*request == decodeRequest(input))) fail("a request reads differently without the tree", input);
        } else if (const auto* open = std::get_if<TunnelStreamOpenMessage>(&frame)) {
            if (!(*open == decodeStreamOpen(input))) fail("a stream open reads differently without the tree", input);
        } else if (const auto* end = std::get_if<StreamEndFrame>(&frame)) {
            if (!(end->message == decodeStreamControl(input))) fail("a stream end reads differently without the tree", input);
        } else if (const auto* close = std::get_if<StreamCloseFrame>(&frame)) {
            if (!(close->message == decodeStreamControl(input))) fail("a stream close reads differently without the tree", input);
        }
    } catch (const json::DecodingError&) {
        fail("the tree refuses a frame read without it", input);
    }
    if (const auto* open = std::get_if<TunnelStreamOpenMessage>(&frame)) {
        roundTrip(*open, decodeStreamOpen, input);
    } else if (const auto* streamData = std::get_if<TunnelStreamDataMessage>(&frame)) {
        roundTrip(*streamData, decodeStreamData, input);
        checkBase64(streamData->data);
        // A frame written straight from bytes reads back as those bytes, under the same id.
        const std::string direct = encodeStreamData(streamData->id, input);
        const TunnelStreamDataMessage back = decodeStreamData(direct);
        if (back.id != streamData->id || base64Decode(back.data) != std::optional<std::string>(std::string(input))) {
            fail("a directly written data frame does not read back", input);
        }
    } else if (const auto* end = std::get_if<StreamEndFrame>(&frame)) {
        roundTrip(end->message, decodeStreamControl, input);
    } else if (const auto* close = std::get_if<StreamCloseFrame>(&frame)) {
        roundTrip(close->message, decodeStreamControl, input);
    } else if (const auto* request = std::get_if<TunnelRequestMessage>(&frame)) {
        roundTrip(*request, decodeRequest, input);
        checkBase64(request->body);
        // An answer carrying the request's strings reads back unchanged.
        roundTrip(TunnelResponseMessage{"response", request->id, 200, request->headers, request->body}, decodeResponse,
                  input);
    }
    return 0;
}
