#pragma once
// Injected faults: for the next N requests to a path (optionally only one method) the
// panel waits, answers with a given status and body, redirects, or sends a malformed
// or oversized body instead of doing its work. Faults live in memory only.

#include "host/json.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tessaron::panel {

struct Fault {
    std::string id;
    std::string path;    // request path without the query: exact, or a prefix when `prefix`
    bool prefix = false;
    std::string method;  // empty: any method
    int remaining = 1;   // requests still affected; 0 means until the faults are cleared
    int delayMs = 0;
    // When set, the panel answers with this instead of doing its work.
    std::optional<int> status;
    std::optional<std::string> body;
    std::vector<std::pair<std::string, std::string>> headers;
    // The connection is closed in the middle of the answer: the client gets no usable reply.
    bool drop = false;

    json::Json toJson() const;
};

class FaultTable {
public:
    // Builds a fault from the admin request's JSON object; throws json::DecodingError
    // or Error with a full sentence when it makes no sense.
    Fault add(const json::Json& request);
    // The fault that applies to this request, counted as used; nothing when none.
    std::optional<Fault> take(const std::string& method, const std::string& path);
    json::Json list() const;
    void clear();

private:
    mutable std::mutex mutex_;
    std::vector<Fault> faults_;
    int next_ = 0;
};

}  // namespace tessaron::panel
