#include "host/pairing_key.h"

#include "host/agent_configuration.h"
#include "host/sha256.h"

namespace tessaron {

std::string pairingKey(const Url& controlURL, std::string_view machineID) {
    std::string text = controlURL.absoluteString();
    text += '\n';
    text += machineID;
    return sha256Hex(text);
}

std::string pairingKey(const AgentConfiguration& configuration) {
    return pairingKey(configuration.controlURL, configuration.machineID);
}

}  // namespace tessaron
