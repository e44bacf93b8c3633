#pragma once
// One edge request's exchange with the local HTTP service: a connection to the target port
// in turn, the request written, the answer read within the requests' bounds, and whether
// the connection may be kept for the next request. Only the answer of the request written
// on a connection is ever taken as its answer: informational answers (1xx) before it are
// read past, and a kept connection on which anything waits to be read (bytes, or its end)
// is closed rather than reused. The time-out is a time without progress: connecting, the
// service taking the request, and each part of its answer restart it; time spent waiting
// for room (the requests' budget, the frame writer) does not count.

#include "cli/answer_body.h"
#include "cli/request_bounds.h"
#include "panel/tunnel_messages.h"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaron::cli {

class LocalAddresses;
class TunnelFrameWriter;

// What an exchange uses of its tunnel connection.
struct LocalExchange {
    const std::string& localHost;
    std::chrono::milliseconds timeout;
    const RequestBounds& bounds;
    // An answer reads on only while fewer bytes than this wait to be written to the edge.
    std::size_t writerRoom;
    LocalHTTPConnections& connections;
    RequestBytes& bytes;
    TunnelFrameWriter& writer;
    LocalAddresses& addresses;
    // The helper's error log (a request that met a bound says which).
    const std::function<void(const std::string&)>& printError;
};

// A local service's answer: the message, and its body as read when it has one (the
// message's own body is then empty).
struct LocalAnswer {
    LocalAnswer(tunnel::TunnelResponseMessage message = {}) : message(std::move(message)) {}
    tunnel::TunnelResponseMessage message;
    AnswerBody::value_type body;
};

// Answers `request` (whose decoded body is `body`, held by `holding`) from the local
// service. Never throws for what the service does: every failure is an error answer.
boost::asio::awaitable<LocalAnswer> exchangeWithLocalService(const tunnel::TunnelRequestMessage& request,
                                                             const std::string& body, RequestBytes::Holding& holding,
                                                             const LocalExchange& exchange);

// The answer to a request that met one of the bounds, "Local port … is unavailable."; the
// log says which bound.
tunnel::TunnelResponseMessage refusedAnswer(const tunnel::TunnelRequestMessage& request, const std::string& bound,
                                            const std::function<void(const std::string&)>& printError);

// The origin-form target ("/path?query") of the local service for a request path, or
// nullopt when the path is not a usable URL reference.
std::optional<std::string> localTarget(const std::string& path);

// True when the text may stand in an HTTP request as a method / header name / header value.
bool isHTTPToken(const std::string& text);
bool isHTTPFieldValue(const std::string& text);

// Response header fields as one frame map: a repeated field is joined with ", ", except
// Set-Cookie, whose values cannot be comma-joined and are joined with a line feed (a
// character no field value can hold, so the edge can split them back losslessly). The
// fields are views, so a field that is not repeated is copied only once, into the map.
tunnel::HeaderFields joinResponseHeaders(const std::vector<std::pair<std::string_view, std::string_view>>& fields);

}  // namespace tessaron::cli
