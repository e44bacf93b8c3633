#pragma once
// The pairing key names everything one helper records for one pairing (its lease file
// "<key>.lock", its receipt files "<key>.json"): the 64 lower-case hex digits of
// SHA-256(controlURL.absoluteString + "\n" + machineID).

#include "host/url.h"

#include <string>
#include <string_view>

namespace tessaron {

struct AgentConfiguration;

std::string pairingKey(const Url& controlURL, std::string_view machineID);
std::string pairingKey(const AgentConfiguration& configuration);

}  // namespace tessaron
