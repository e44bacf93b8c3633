#pragma once
// `tessaron serve`: the long-running connection helper that launchd starts. It makes
// sure it is the only helper of this pairing, brings the VM up unless the user asked
// for it to stay off, and runs the pairing's transport until a stop request (SIGTERM,
// SIGINT) or the panel's removal of this Mac ends it.

namespace tessaron::cli {

void serve();

}  // namespace tessaron::cli
