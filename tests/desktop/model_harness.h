#pragma once
// What the desktop model's tests share: a QCoreApplication for the test program, an opener
// that records what it was given, a bounded wait that keeps the event loop running, and the
// scripted stand-in `tessaron` (standins/scripted_tessaron) in a folder of the test's own.

#include "host/json.h"
#include "model/desktop_model.h"
#include "support/temp_dir.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tessaron::desktop::testing {

using tessaron::testing::ScopedEnv;
using tessaron::testing::TempDir;
using tessaron::testing::TempHome;

inline QCoreApplication& application() {
    static int argc = 1;
    static char name[] = "desktop_model_test";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

class RecordingOpener final : public Opener {
public:
    void open(const QUrl& url) override {
        opened.push_back(url.toString().toStdString());
        encoded.push_back(url.toEncoded().toStdString());
    }
    std::vector<std::string> opened;
    std::vector<std::string> encoded;  // the same, as sent to the browser
};

// Runs the event loop until `condition` holds or `seconds` pass; returns the condition's value.
inline bool waitUntil(const std::function<bool()>& condition, double seconds = 60) {
    application();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Keeps the event loop running for a moment, for checks that something does not happen.
inline void settle(double seconds = 0.3) {
    waitUntil([] { return false; }, seconds);
}

class ScriptedTessaron {
public:
    ScriptedTessaron() : env_("TESSARON_SCRIPTED_DIR", dir_.path().string()) { script(json::Json::object()); }

    static std::filesystem::path program() { return tessaron::testing::standinBinDir() / "tessaron-scripted"; }

    // Replaces the answers (see standins/scripted_tessaron/README.md).
    void script(const json::Json& answers) { tessaron::testing::writeFile(dir_ / "script.json", answers.dump()); }
    // A file for "waitFor"; release() creates it.
    std::string gate(const std::string& name) const { return (dir_ / name).string(); }
    void release(const std::string& name) const { tessaron::testing::writeFile(dir_ / name, ""); }

    // The runs so far, each as its argument words joined by single spaces.
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream file(dir_ / "calls.log");
        for (std::string line; std::getline(file, line);) {
            for (auto& c : line)
                if (c == '\t') c = ' ';
            lines.push_back(line);
        }
        return lines;
    }
    std::size_t count(const std::string& call) const {
        std::size_t n = 0;
        for (const auto& line : calls()) n += line == call;
        return n;
    }

private:
    TempDir dir_;
    ScopedEnv env_;
};

// A model on the scripted program, with no refresh loop and no update check, a home of the
// test's own and an installed bundle inside it, on a supported Mac of 8 CPUs and 16 GiB.
inline DesktopModelOptions quietOptions(const std::filesystem::path& home) {
    DesktopModelOptions options;
    options.home = home;
    options.bundle = home / "Applications" / "Tessaron.app";
    options.limactl = "/nonexistent/limactl";
    options.capacity = HostCapacity{8, 16ull << 30};
    options.support = HardwareSupportReport{{"arm64", "Apple M3", "Mac15,3", 8, 16ull << 30, 14}, {}};
    options.settingsFile = QString::fromStdString((home / "settings.ini").string());
    options.freeSpace = [](const std::filesystem::path&) { return std::optional<std::uint64_t>(100ull << 30); };
    options.startRefreshLoop = false;
    options.checkForUpdates = false;
    return options;
}

}  // namespace tessaron::desktop::testing
