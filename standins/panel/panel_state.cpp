#include "panel_state.h"

#include "host/error.h"
#include "host/private_file.h"
#include "host/base64.h"

#include <chrono>
#include <iostream>
#include <unistd.h>

namespace tessaron::panel {

Reply ok(Json body) { return {200, std::move(body)}; }

Reply failure(int status, const std::string& message) { return {status, Json{{"error", message}}}; }

double nowSeconds() {
    using namespace std::chrono;
    return static_cast<double>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count()) / 1000.0;
}

namespace {

constexpr std::size_t maxStateBytes = 64u << 20;

Json emptyDocument() {
    return Json{{"machines", Json::object()}, {"setups", Json::object()}, {"pairingCodes", Json::object()},
                {"sequence", 0}};
}

}  // namespace

PanelState::PanelState(std::optional<std::filesystem::path> file)
    : file_(std::move(file)), document_(emptyDocument()), random_(std::random_device{}()) {
    if (file_) {
        try {
            const std::string text = private_file::read(*file_, {::geteuid(), maxStateBytes, false});
            Json loaded = json::parseObject(text);
            for (const char* key : {"machines", "setups", "pairingCodes"}) json::object(loaded, key);
            json::int64(loaded, "sequence");
            // A record written by an older panel gets the keys it lacks, with their defaults.
            for (auto& [id, machine] : loaded["machines"].items()) {
                json::requireObject(machine, "machine " + id);
                Json complete = newMachine(id, json::string(machine, "deviceToken"), "Mac", Json::object());
                complete.update(machine);
                machine = std::move(complete);
            }
            document_ = std::move(loaded);
        } catch (const private_file::PrivateFileError& error) {
            if (error.failure() != private_file::Failure::missing)
                throw Error("The panel state file " + file_->string() + " could not be read: " + error.what());
        } catch (const json::DecodingError& error) {
            throw Error("The panel state file " + file_->string() + " is damaged: " + error.what());
        }
    }
    if (!document_.contains("relayPublicKey")) {
        std::string key(32, '\0');
        for (char& c : key) c = static_cast<char>(random_() & 0xff);
        document_["relayPublicKey"] = tessaron::base64Encode(key);
    }
}

Reply PanelState::transact(const std::function<Reply(Json& document, bool& changed)>& work) {
    std::lock_guard lock(mutex_);
    bool changed = false;
    Reply reply = work(document_, changed);
    if (changed && file_) {
        try {
            save();
        } catch (const std::exception& error) {
            std::cerr << "tessaron-panel: " << error.what() << std::endl;
            return failure(500, "The panel could not save its state.");
        }
    }
    return reply;
}

Json PanelState::snapshot() const {
    std::lock_guard lock(mutex_);
    return document_;
}

void PanelState::save() const { private_file::write(*file_, json::encode(document_)); }

std::string PanelState::hex(std::size_t count, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out(count, '0');
    for (char& c : out) c = digits[random_() & 0xf];
    return out;
}

std::string PanelState::nextSequence(const std::string& prefix) {
    const std::int64_t next = document_["sequence"].get<std::int64_t>() + 1;
    document_["sequence"] = next;
    return prefix + "-" + std::to_string(next);
}

Json* PanelState::machineByToken(Json& document, const std::string& token) {
    if (token.empty()) return nullptr;
    for (auto& [id, machine] : document["machines"].items()) {
        if (machine.value("deviceToken", "") == token) return &machine;
    }
    return nullptr;
}

Json PanelState::newMachine(const std::string& machineId, const std::string& token, const std::string& name,
                            const Json& profile) {
    const double now = nowSeconds();
    return Json{
        {"machineId", machineId},
        {"deviceToken", token},
        {"name", name},
        {"profile", profile},
        {"createdAt", now},
        {"removed", false},
        {"deleteServer", false},
        {"publicAccess", {{"state", "enabled"}, {"requestedPaused", false}, {"confirmedAt", now}}},
        {"appVersion", nullptr},
        {"vmState", nullptr},
        {"bootId", nullptr},
        {"powerIntent", nullptr},
        {"lastPoll", nullptr},
        {"lastSeenAt", nullptr},
        {"commandPolls", 0},
        {"commands", Json::array()},
        {"controlRequests", Json::array()},
        {"resourcePolls", 0},
        {"resourceSnapshot", nullptr},
        {"resourceCommands", Json::array()},
        {"sshPolls", 0},
        {"sshRequests", Json::array()},
        {"sshAcknowledgements", Json::array()},
        {"listeners", nullptr},
        {"listenerReports", 0},
        {"heartbeats", 0},
        {"lastHeartbeatAt", nullptr},
        {"network", {{"registrations", 0}, {"publicKey", nullptr}, {"allocation", nullptr}, {"address", nullptr},
                     {"answer", nullptr}}},
    };
}

}  // namespace tessaron::panel
