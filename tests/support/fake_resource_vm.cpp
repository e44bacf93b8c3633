#include "support/fake_resource_vm.h"

#include "host/error.h"

#include <cstdio>

namespace tessaron::testing {

std::string FakeResourceVM::bootId(int serial) {
    char text[40];
    std::snprintf(text, sizeof text, "00000000-0000-4000-8000-%012d", serial);
    return text;
}

ResourceObservation FakeResourceVM::resourceObservation() {
    ++observationCalls;
    if (failingObservations > 0) {
        --failingObservations;
        throw Error(observationFailure);
    }
    return state;
}

ResourceObservation FakeResourceVM::applyResources(const ResourceCommand& command) {
    ++applyCalls;
    if (applyFault == ApplyFault::beforeChange) throw Error(applyFailure);
    if (state != command.before) throw Error(changedFailure);
    if (applyFault == ApplyFault::ignoreRequest) return state;
    state.cpu = command.cpu;
    state.memoryMiB = command.memoryMiB;
    if (state.vmState == "Running") state.bootId = bootId(++nextBoot_);
    ++resizes;
    if (afterResize) afterResize();
    if (applyFault == ApplyFault::afterChange) throw Error(applyFailure);
    return state;
}

}  // namespace tessaron::testing
