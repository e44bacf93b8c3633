// tessaron-scripted: answers each command as $TESSARON_SCRIPTED_DIR/script.json says (README.md).

#include "host/json.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tessaron::json::Json;
namespace fs = std::filesystem;

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "tessaron: %s\n", message.c_str());
    std::exit(1);
}

void writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote <= 0) return;
        done += static_cast<std::size_t>(wrote);
    }
}

std::string fromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

void waitFor(const fs::path& file) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!fs::exists(file)) {
        if (std::chrono::steady_clock::now() > deadline) fail("gave up waiting for " + file.string());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string joined(const std::vector<std::string>& words, std::size_t count, char separator) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += (i ? std::string(1, separator) : "") + words[i];
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const char* dirText = std::getenv("TESSARON_SCRIPTED_DIR");
    if (!dirText || !*dirText) fail("TESSARON_SCRIPTED_DIR is not set");
    const fs::path dir = dirText;
    const std::vector<std::string> words(argv + 1, argv + argc);

    // One write per call, appended: calls of runs that overlap never interleave.
    const int log = ::open((dir / "calls.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (log >= 0) {
        writeAll(log, joined(words, words.size(), '\t') + "\n");
        ::close(log);
    }

    Json script;
    try {
        std::ifstream file(dir / "script.json");
        script = tessaron::json::parseObject(std::string(std::istreambuf_iterator<char>(file), {}));
    } catch (const std::exception& error) {
        fail(std::string("script.json: ") + error.what());
    }
    const Json* answer = nullptr;
    for (std::size_t count = words.size() + 1; count-- > 0 && !answer;) {
        const std::string key = joined(words, count, ' ');
        if (script.contains(key) && count > 0) answer = &script[key];
    }
    if (!answer && script.contains("*")) answer = &script["*"];
    if (!answer || !answer->is_object()) fail("no scripted answer");

    if (answer->contains("waitFor")) waitFor(std::string((*answer)["waitFor"]));
    if (answer->contains("stdout")) writeAll(1, (*answer)["stdout"]);
    if (answer->contains("steps")) {
        for (const Json& step : (*answer)["steps"]) {
            if (step.contains("out")) writeAll(1, step["out"]);
            if (step.contains("outHex")) writeAll(1, fromHex(step["outHex"]));
            if (step.contains("err")) writeAll(2, step["err"]);
            if (step.contains("pauseMs")) std::this_thread::sleep_for(std::chrono::milliseconds(int(step["pauseMs"])));
            if (step.contains("waitFor")) waitFor(std::string(step["waitFor"]));
        }
    }
    if (answer->contains("stderr")) writeAll(2, (*answer)["stderr"]);
    return answer->value("exit", 0);
}
