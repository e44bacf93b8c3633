#pragma once
// An in-memory VM for the resource executor's tests. It behaves like the guarded
// resize of the real VM manager: a change is refused unless the VM still equals the
// request's `before`, and a VM that was running comes back with a new boot id. Every
// call is counted, and observations and changes can be made to fail.

#include "panel/vm_protocols.h"

#include <functional>
#include <string>

namespace tessaron::testing {

class FakeResourceVM : public ResourceVirtualMachine {
public:
    explicit FakeResourceVM(ResourceObservation initial) : state(std::move(initial)) {}

    ResourceObservation resourceObservation() override;
    ResourceObservation applyResources(const ResourceCommand& command) override;

    // Boot ids the fake hands out: "00000000-0000-4000-8000-" and 12 decimal digits.
    static std::string bootId(int serial);

    ResourceObservation state;  // the VM as it is now

    // Calls so far.
    int observationCalls = 0;
    int applyCalls = 0;
    int resizes = 0;  // applications that changed the VM

    // Faults. The next `failingObservations` observations throw observationFailure.
    int failingObservations = 0;
    enum class ApplyFault { none, beforeChange, afterChange, ignoreRequest };
    // beforeChange: throw applyFailure and leave the VM as it was; afterChange: change
    // the VM, then throw (as when the new boot id cannot be read); ignoreRequest: return
    // the observation without changing anything.
    ApplyFault applyFault = ApplyFault::none;
    // Runs inside applyResources after the VM was changed (for example to make the
    // following observations fail).
    std::function<void()> afterResize;

    static constexpr const char* observationFailure = "Could not read the VM state.";
    static constexpr const char* applyFailure = "The VM could not be resized.";
    static constexpr const char* changedFailure = "The VM changed since the request. No additional restart was authorized.";

private:
    int nextBoot_ = 1000;
};

}  // namespace tessaron::testing
