#pragma once
// Everything the stand-in panel remembers: machines with their tokens and per-machine
// records, setups and pairing codes. The state is one JSON document guarded by a mutex;
// with a state file it is loaded at start and written atomically (as a private file)
// after every change.
//
// Document layout (see README.md for the meaning of each key):
//   {"machines": {id: machine}, "setups": {id: setup}, "pairingCodes": {code: pairing},
//    "sequence": n, "relayPublicKey": text}

#include "host/json.h"

#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>

namespace tessaron::panel {

using json::Json;

// One answer of the panel: HTTP status and JSON body.
struct Reply {
    int status = 200;
    Json body = Json::object();
};

Reply ok(Json body);
Reply failure(int status, const std::string& message);

class PanelState {
public:
    // Loads `file` when given and present; an unreadable or damaged file is an Error
    // (the panel refuses to start rather than silently forget its machines).
    explicit PanelState(std::optional<std::filesystem::path> file);

    // Runs `work` under the lock. When `work` reports a change (returns true in
    // `changed`), the document is saved before the lock is released.
    Reply transact(const std::function<Reply(Json& document, bool& changed)>& work);
    // A copy of the whole document.
    Json snapshot() const;

    // Identifier helpers; call only inside transact.
    std::string hex(std::size_t count, bool upper);
    std::string nextSequence(const std::string& prefix);  // prefix + "-" + n

    // The machine whose device token is `token`, or nullptr.
    static Json* machineByToken(Json& document, const std::string& token);
    // A fresh machine record.
    Json newMachine(const std::string& machineId, const std::string& token, const std::string& name,
                    const Json& profile);

private:
    void save() const;

    std::optional<std::filesystem::path> file_;
    mutable std::mutex mutex_;
    Json document_;
    std::mt19937_64 random_;
};

double nowSeconds();

}  // namespace tessaron::panel
