#pragma once
// The control panel's setup API: start a setup, read its progress while the user
// approves the Mac in the browser, report the Mac's own stages, and resume a setup that
// an earlier run saved. Everything the panel sends back is checked before a caller may
// trust it. Calls are synchronous and independent; the client never retries and never
// follows a redirect.

#include "host/url.h"
#include "panel/setup_records.h"

#include <chrono>
#include <optional>
#include <string>

namespace tessaron {

class SetupClient {
public:
    // Accepts an "https" origin (plain "http" only for localhost, 127.0.0.1 and [::1])
    // with a host and no user, password, query, fragment or path beyond "/"; otherwise
    // SetupError "Use an HTTPS Tessaron panel address without a path or password.".
    explicit SetupClient(Url origin);

    const Url& origin() const { return origin_; }

    // POST api/tessaron/setup with the caller's profile JSON, unchanged. The ticket is
    // checked (identifier, code, secret, approval link of this origin naming this setup);
    // SetupError "The panel returned invalid setup details." otherwise.
    SetupTicket start(const std::string& profile) const;

    // POST api/tessaron/agent/setup/<id> with {"stage": stage}; the device token goes
    // along only with the stage "complete", trimmed as it is saved
    // (DeviceCredentialStore::usableToken, whose invalidFile stops the report).
    SetupProgress update(const PendingSetup& setup, const std::string& stage) const;

    // GET api/tessaron/agent/setup/<id>.
    SetupProgress status(const PendingSetup& setup) const;

    // Reports the stage "resume" and returns the record with the panel's new code and
    // expiry; SetupError "The panel returned invalid setup progress." when the answer
    // lacks either.
    PendingSetup resume(const PendingSetup& setup) const;

    // Every failure of the exchange that has no panel "error" text.
    static constexpr const char* unconfirmedMessage =
        "Could not confirm setup. Reopen the Mac app and try again; your VM is preserved.";

    // Time-out of each request.
    std::chrono::milliseconds timeout{15'000};

private:
    std::string request(const std::string& path, const std::optional<std::string>& secret,
                        const std::optional<std::string>& payload) const;

    Url origin_;
};

}  // namespace tessaron
