// The Lima VM behind the executors' interfaces, against a scripted limactl: which calls
// each operation makes and how the VM's state reads as an observation.

#include "panel/lima_virtual_machine.h"
#include "panel/control_panel_client.h"
#include "support/scripted_limactl.h"

#include <gtest/gtest.h>

#include <optional>

namespace tessaron {
namespace {
using namespace testing;  // the scripted limactl's steps and argument vectors

TEST(LimaVirtualMachine, RestartOperationsAreTheManagers) {
    const Argv listAllArgv = {"list", "--json"};
    ScriptedLimactl s({out(bootArgv, bootA), ok({"stop", "tessaron"}), ok(startArgv),
                       out(listAllArgv, R"({"name":"other","status":"Stopped"})" "\n" R"({"name":"tessaron","status":"Running"})"),
                       out(listAllArgv, R"({"name":"tessaron","status":"stopped"})"), out(listAllArgv, ""),
                       out(statusArgv, "Stopped")});
    LimaVirtualMachine machine(s.manager);
    RestartVirtualMachine& vm = machine;
    EXPECT_EQ(vm.bootID(), bootA);
    vm.stop();
    vm.start();
    EXPECT_FALSE(vm.isStopped());
    EXPECT_TRUE(vm.isStopped());
    EXPECT_TRUE(vm.isStopped());  // not there at all
    try {
        vm.restart(bootA);
        ADD_FAILURE() << "a stopped VM was restarted";
    } catch (const LimaManagerError& error) {
        EXPECT_STREQ(error.what(),
                     "The server changed state since this restart was requested. It was not restarted again.");
    }
    s.verify();
    const auto calls = s.runner->calls();
    EXPECT_FALSE(calls[1].interactive);  // the plain stop is captured
    EXPECT_TRUE(calls[2].interactive);   // the plain start has the terminal
}

TEST(LimaVirtualMachine, ObservesRunningAndStoppedVMsOnly) {
    struct Case {
        std::string label;
        std::vector<Step> steps;
        std::optional<ResourceObservation> expected;  // nothing: a LifecycleFailure
    };
    const std::vector<Case> cases = {
        {"running, in any letter case", {list("RUNNING", 4, 8 * GiB + 256 * MiB), out(bootArgv, bootA)},
         ResourceObservation{4, 8448, "Running", bootA}},
        {"stopped: no boot asked", {list("stopped", 2, 4 * GiB)}, ResourceObservation{2, 4096, "Stopped", std::nullopt}},
        {"between the two", {list("Starting", 2, 4 * GiB)}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ScriptedLimactl s(c.steps);
        LimaVirtualMachine vm(s.manager);
        if (c.expected) EXPECT_EQ(vm.resourceObservation(), *c.expected);
        else EXPECT_THROW(vm.resourceObservation(), LifecycleFailure);
        s.verify();
    }
}

TEST(LimaVirtualMachine, AppliesResourcesOnlyToTheVMTheRequestSaw) {
    const ResourceCommand command{"cmd-1", "running", 1, 2048, {2, 4096, "Stopped", std::nullopt}};
    {
        // The VM changed since the request: nothing is touched.
        ScriptedLimactl s({list("Running", 2, 4 * GiB), out(bootArgv, bootA)});
        EXPECT_THROW(LimaVirtualMachine(s.manager).applyResources(command), LifecycleFailure);
        s.verify();
    }
    try {
        ResourcePolicy::validatedAllocation(1, 2 * GiB, HostCapacity::current());
    } catch (const ResourcePolicyError& error) {
        GTEST_SKIP() << "this machine cannot host a VM: " << error.what();
    }
    // A stopped VM is edited and stays stopped.
    ScriptedLimactl s({list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB),
                       ok(editArgv(1, "2.0")), list("Stopped", 1, 2 * GiB), list("Stopped", 1, 2 * GiB),
                       list("Stopped", 1, 2 * GiB)});
    EXPECT_EQ(LimaVirtualMachine(s.manager).applyResources(command),
              (ResourceObservation{1, 2048, "Stopped", std::nullopt}));
    s.verify();
}

}  // namespace
}  // namespace tessaron
