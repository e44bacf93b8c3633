#include "host/agent_configuration.h"

#include "host/header_value.h"
#include "host/paths.h"
#include "host/private_file.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace tessaron {
namespace fs = std::filesystem;

namespace TessaronEndpoints {
namespace {
constexpr const char* kDefaultControlText = "https://panel.tessaron.invalid";
}

const Url& defaultControl() {
    // A function-local static is built exactly once, even under concurrent first use.
    static const Url url = [] {
        auto parsed = Url::parse(kDefaultControlText);
        if (!parsed) std::abort();  // the constant above is malformed: a programming error
        return *parsed;
    }();
    return url;
}

const std::string& defaultControlText() { return defaultControl().absoluteString(); }

}  // namespace TessaronEndpoints

namespace {

Url decodeURL(const json::Json& value, std::string_view what) {
    std::string text = json::asString(value, what);
    auto url = Url::parse(text);
    if (!url) throw json::DecodingError("The value of " + std::string(what) + " is not a valid URL.");
    return *url;
}

}  // namespace

json::Json AgentConfiguration::toJson() const {
    json::Json edges = json::Json::array();
    for (const auto& edge : edgeURLs) edges.push_back(edge.absoluteString());
    json::Json object{{"machineID", machineID},
                      {"controlURL", controlURL.absoluteString()},
                      {"edgeURLs", std::move(edges)},
                      {"localHost", localHost}};
    if (vmName) object["vmName"] = *vmName;
    if (transport) object["transport"] = *transport;
    return object;
}

AgentConfiguration AgentConfiguration::fromJson(const json::Json& object) {
    json::requireObject(object, "the document");
    AgentConfiguration configuration;
    configuration.machineID = json::string(object, "machineID");
    // It is sent in a header of the edge tunnel's upgrade request.
    if (!header_value::isSafe(configuration.machineID))
        throw json::DecodingError("The value of \"machineID\" holds characters that cannot be sent to the panel.");
    configuration.controlURL = decodeURL(json::required(object, "controlURL"), "\"controlURL\"");
    const json::Json& edges = json::array(object, "edgeURLs");
    for (std::size_t i = 0; i < edges.size(); ++i)
        configuration.edgeURLs.push_back(decodeURL(edges[i], "\"edgeURLs\"[" + std::to_string(i) + "]"));
    configuration.localHost = json::string(object, "localHost");
    configuration.vmName = json::optionalString(object, "vmName");
    configuration.transport = json::optionalString(object, "transport");
    return configuration;
}

std::string AgentConfigurationError::description(Kind kind) {
    switch (kind) {
    case Kind::applicationSupportUnavailable:
        return "The user Application Support directory is unavailable.";
    case Kind::notPaired:
        return "This Mac is not paired. Run `tessaron pair` first.";
    }
    return "";
}

AgentConfigurationError::AgentConfigurationError(Kind kind) : Error(description(kind)), kind_(kind) {}

namespace AgentConfigurationStore {

fs::path defaultURL() {
    if (const char* value = std::getenv("TESSARON_CONFIG_PATH"); value && *value) return fs::absolute(fs::path(value));
    auto support = paths::applicationSupport();
    if (!support) throw AgentConfigurationError(AgentConfigurationError::Kind::applicationSupportUnavailable);
    return *support / "Tessaron" / "agent.json";
}

void save(const AgentConfiguration& configuration, const std::optional<fs::path>& to) {
    const fs::path target = to ? *to : defaultURL();
    const std::string bytes = json::encode(configuration.toJson());
    private_file::WriteOptions options;
    options.temporaryPrefix = temporaryPrefix;
    private_file::write(target, bytes, options);
}

AgentConfiguration load(const std::optional<fs::path>& from) {
    const fs::path source = from ? *from : defaultURL();
    private_file::ReadOptions options;
    options.maxBytes = maximumBytes;
    options.followLinks = true;  // the file holds no secret; a linked configuration is still read
    std::string bytes;
    try {
        bytes = private_file::read(source, options);
    } catch (const private_file::PrivateFileError& error) {
        const bool absent = error.failure() == private_file::Failure::missing ||
                            (error.failure() == private_file::Failure::openFailed && error.code() == ENOTDIR);
        if (absent) throw AgentConfigurationError(AgentConfigurationError::Kind::notPaired);
        throw;
    }
    try {
        return AgentConfiguration::fromJson(json::parseObject(bytes));
    } catch (const json::DecodingError& error) {
        throw json::DecodingError("The Tessaron configuration \u201c" + source.string() + "\u201d could not be read. " +
                                  error.what());
    }
}

void forget() {
    const fs::path target = defaultURL();
    if (::unlink(target.c_str()) != 0) {
        int code = errno;
        if (code == ENOENT || code == ENOTDIR) return;
        throw SystemError::fromErrno("Could not remove " + target.string(), code);
    }
}

}  // namespace AgentConfigurationStore

}  // namespace tessaron
