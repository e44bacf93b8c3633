#pragma once
// Which control-panel addresses the desktop application talks to or hands to `tessaron`.

#include <QString>

namespace tessaron::desktop {

// "https:" (exactly, lower case), or "http:" with the host localhost, 127.0.0.1 or [::1]: the
// command-line program and the core's panel clients take plain HTTP only for a panel on this
// machine's loopback address.
bool isSecurePanelAddress(const QString& text);

// A secure panel address that is an origin: a host, and no user, password, query, fragment or
// path other than "/".
bool isPanelOrigin(const QString& text);

}  // namespace tessaron::desktop
