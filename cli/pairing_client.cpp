#include "cli/pairing_client.h"

#include "cli/cli_options.h"

#include <chrono>

namespace tessaron::cli {

std::string AgentProfilePayload::encode() const {
    nlohmann::ordered_json object;
    object["name"] = name;
    object["chip"] = chip;
    object["modelIdentifier"] = modelIdentifier;
    object["cpuCores"] = cpuCores;
    object["memoryGiB"] = memoryGiB;
    object["allocatedCpu"] = allocatedCpu;
    object["allocatedMemoryGiB"] = allocatedMemoryGiB;
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

PairingCodeResponse PairingCodeResponse::decode(const std::string& body) {
    json::Json object = json::parseObject(body);
    return {json::string(object, "code"), json::string(object, "expiresAt"), json::string(object, "deviceSecret")};
}

PairingClaimResponse PairingClaimResponse::decode(const std::string& body) {
    json::Json object = json::parseObject(body);
    PairingClaimResponse response;
    response.status = json::string(object, "status");
    response.machineId = json::optionalString(object, "machineId");
    response.deviceToken = json::optionalString(object, "deviceToken");
    if (auto found = object.find("edgeURLs"); found != object.end() && !found->is_null())
        response.edgeURLs = json::stringArray(object, "edgeURLs");
    response.error = json::optionalString(object, "error");
    return response;
}

std::optional<APIErrorResponse> APIErrorResponse::decode(const std::string& body) {
    try {
        return APIErrorResponse{json::string(json::parseObject(body), "error")};
    } catch (const json::DecodingError&) {
        return std::nullopt;
    }
}

std::string percentEncodePath(const std::string& text) { return Url::percentEncoded(text, "!$&'()*+,;=:@/"); }

std::string PairingClient::resolve(const std::string& path) const {
    // An absolute path replaces the control URL's path, query and fragment and keeps
    // its scheme and authority.
    const std::string& text = controlURL_.absoluteString();
    const std::size_t colon = text.find(':');
    std::size_t end = colon + 1;
    if (text.compare(end, 2, "//") == 0) {
        end = text.find_first_of("/?#", end + 2);
        if (end == std::string::npos) end = text.size();
    }
    return text.substr(0, end) + path;
}

void PairingClient::validate(const http::Response& response) {
    if (response.status >= 200 && response.status <= 299) return;
    if (auto error = APIErrorResponse::decode(response.body)) throw CLIError::pairing(error->error);
    throw CLIError::pairing("The control plane returned HTTP " + std::to_string(response.status) + ".");
}

PairingCodeResponse PairingClient::createCode(const AgentProfilePayload& profile) const {
    http::Request request;
    request.method = "POST";
    request.url = resolve("/api/tessaron/agent/pairing-codes");
    request.headers = {{"content-type", "application/json"}};
    request.body = profile.encode();
    request.timeout = std::chrono::seconds(60);
    request.followRedirects = followRedirects_;
    http::Response response = http::perform(request);
    validate(response);
    return PairingCodeResponse::decode(response.body);
}

PairingClaimResponse PairingClient::claim(const std::string& code, const std::string& deviceSecret) const {
    http::Request request;
    request.method = "GET";
    request.url = resolve("/api/tessaron/agent/pairing-codes/" + percentEncodePath(code));
    request.headers = {{"authorization", "Bearer " + deviceSecret}};
    request.timeout = std::chrono::seconds(60);
    request.followRedirects = followRedirects_;
    http::Response response = http::perform(request);
    if (response.status >= 200 && response.status <= 299) return PairingClaimResponse::decode(response.body);
    validate(response);
    return PairingClaimResponse::decode(response.body);  // not reached: validate threw
}

}  // namespace tessaron::cli
