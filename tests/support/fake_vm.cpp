#include "support/fake_vm.h"

#include "host/error.h"

#include <atomic>
#include <cstdio>

namespace tessaron::testing {

std::string FakeVM::newBootID() {
    static std::atomic<unsigned> counter{0};
    char text[37];
    std::snprintf(text, sizeof text, "b00710d0-0000-4000-8000-%012x", ++counter);
    return text;
}

std::vector<std::string> FakeVM::actions() const {
    std::vector<std::string> result;
    for (const auto& call : calls_)
        if (call != "bootID" && call != "isStopped") result.push_back(call);
    return result;
}

std::string FakeVM::bootID() {
    calls_.push_back("bootID");
    if (!boot_) throw Error("The Linux VM is not running.");
    if (failBootID) throw Error("Could not read the Linux boot ID.");
    return *boot_;
}

std::string FakeVM::restart(const std::string& expectedBootID) {
    calls_.push_back("restart " + expectedBootID);
    if (onAction) onAction("restart");
    if (failRestart) throw Error("The Linux VM could not be restarted.");
    if (boot_ != expectedBootID) throw Error("The Linux VM changed before the restart. It was not restarted.");
    boot_ = newBootID();
    if (restartThenFail) throw Error("The Linux VM restarted but did not answer in time.");
    return *boot_;
}

void FakeVM::stop() {
    calls_.push_back("stop");
    if (onAction) onAction("stop");
    if (failStop) throw Error("The Linux VM could not be stopped.");
    boot_.reset();
}

void FakeVM::start() {
    calls_.push_back("start");
    if (onAction) onAction("start");
    if (failStart) throw Error("The Linux VM could not be started.");
    if (!boot_) boot_ = newBootID();
    if (startThenFail) throw Error("The Linux VM started but did not answer in time.");
}

bool FakeVM::isStopped() {
    calls_.push_back("isStopped");
    if (failListing) throw Error("Could not list the Linux VMs.");
    return !boot_;
}

}  // namespace tessaron::testing
