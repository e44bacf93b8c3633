#include "host/agent_configuration.h"

#include "host/paths.h"
#include "host/private_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
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
    options.temporaryPrefix = ".agent-";
    private_file::write(target, bytes, options);
}

AgentConfiguration load(const std::optional<fs::path>& from) {
    const fs::path source = from ? *from : defaultURL();
    // Non-blocking so that a FIFO planted at the path cannot hang the caller.
    int fd = ::open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        int code = errno;
        if (code == ENOENT || code == ENOTDIR) throw AgentConfigurationError(AgentConfigurationError::Kind::notPaired);
        throw SystemError::fromErrno("Could not read " + source.string(), code);
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw SystemError::fromErrno("Could not read " + source.string(), errno);
    if (!S_ISREG(st.st_mode)) throw SystemError::fromErrno("Could not read " + source.string(), S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    std::string bytes;
    char buffer[16 * 1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n < 0) throw SystemError::fromErrno("Could not read " + source.string(), errno);
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return AgentConfiguration::fromJson(json::parseObject(bytes));
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
