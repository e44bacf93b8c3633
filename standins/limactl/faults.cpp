#include "standins/limactl/faults.h"

#include "host/json.h"
#include "host/private_file.h"
#include "standins/limactl/lima_home.h"

#include <set>

namespace tessaron::standin::limactl {
namespace {

const std::set<std::string> knownEffects = {"fail", "delay", "stayStopped", "keepBootId", "notRetained", "status"};

bool matches(const json::Json& rule, const std::vector<std::string>& arguments, const std::string& command) {
    if (auto argv = rule.find("argv"); argv != rule.end()) {
        return json::stringArray(rule, "argv") == arguments;
    }
    if (auto prefix = rule.find("argvPrefix"); prefix != rule.end()) {
        auto wanted = json::stringArray(rule, "argvPrefix");
        return wanted.size() <= arguments.size() && std::equal(wanted.begin(), wanted.end(), arguments.begin());
    }
    return json::string(rule, "command") == command;
}

void validate(const json::Json& rule) {
    json::requireObject(rule, "a fault");
    if (!rule.contains("command") && !rule.contains("argv") && !rule.contains("argvPrefix"))
        throw json::DecodingError("A fault needs \"command\", \"argv\" or \"argvPrefix\".");
    const std::string effect = json::string(rule, "effect");
    if (!knownEffects.count(effect)) throw json::DecodingError("Unknown fault effect \"" + effect + "\".");
    if (effect == "status") json::string(rule, "status");
    if (effect == "delay") json::number(rule, "seconds");
    if (auto times = json::optionalInt64(rule, "times"); times && *times < 0)
        throw json::DecodingError("\"times\" must not be negative.");
    json::optionalString(rule, "stderr");
    json::optionalString(rule, "stdout");
    json::optionalInt64(rule, "exitCode");
}

}  // namespace

FaultEffects takeFaults(const std::vector<std::string>& arguments, const std::string& command) {
    FaultEffects effects;
    const fs::path path = standinDir() / "faults.json";
    std::error_code error;
    if (!fs::exists(path, error)) return effects;

    FileLock lock(standinDir() / "faults.lock");
    std::string text;
    if (!readSmallFile(path, text)) return effects;
    json::Json rules;
    bool changed = false;
    try {
        rules = json::parse(text);
        if (!rules.is_array()) throw json::DecodingError("The document is not an array.");
        for (auto& rule : rules) {
            validate(rule);
            auto times = json::optionalInt64(rule, "times");
            if (times && *times == 0) continue;
            if (!matches(rule, arguments, command)) continue;
            if (times) {
                rule["times"] = *times - 1;
                changed = true;
            }
            const std::string effect = json::string(rule, "effect");
            if (effect == "fail") {
                if (effects.failure) continue;  // the first failure wins
                InjectedFailure failure;
                failure.standardError = json::optionalString(rule, "stderr").value_or("");
                failure.standardOutput = json::optionalString(rule, "stdout").value_or("");
                failure.exitCode = static_cast<int>(json::optionalInt64(rule, "exitCode").value_or(1));
                effects.failure = failure;
            } else if (effect == "delay") {
                effects.delaySeconds += json::number(rule, "seconds");
            } else if (effect == "stayStopped") {
                effects.stayStopped = true;
            } else if (effect == "keepBootId") {
                effects.keepBootId = true;
            } else if (effect == "notRetained") {
                effects.notRetained = true;
            } else if (effect == "status") {
                effects.status = json::string(rule, "status");
            }
        }
    } catch (const json::DecodingError& decoding) {
        throw LimactlError(path.string() + " is not a valid fault list: " + decoding.what(), 2);
    }
    if (changed) private_file::write(path, rules.dump(2) + "\n");
    return effects;
}

}  // namespace tessaron::standin::limactl
