// The guarded restart and the resize against a scripted runner: the exact sequence of
// limactl calls, every stop condition and message, and the recovery after a failed change.

#include "host/lima_manager.h"
#include "support/scripted_limactl.h"

#include <gtest/gtest.h>

namespace tessaron {
namespace {
using namespace testing;  // the scripted limactl's steps and argument vectors
using Reply = FakeCommandRunner::Reply;
using Scripted = ScriptedLimactl;

// A 10-CPU, 32 GiB Mac: up to 8 CPUs and 24 GiB for the VM.
const HostCapacity host{10, 32 * GiB};

template <typename F>
std::string failureText(F&& operation) {
    try {
        operation();
    } catch (const LimaManagerError& error) {
        EXPECT_EQ(error.kind(), LimaManagerError::Kind::commandFailed);
        return error.what();
    }
    ADD_FAILURE() << "no LimaManagerError was thrown";
    return "";
}

// ---------------------------------------------------------------------------------------
// Restart

TEST(LimaRestart, StopsStartsAndReturnsTheNewBoot) {
    Scripted s({out(statusArgv, "Running\n"), out(bootArgv, bootA + "\n"), ok(stopArgv), out(statusArgv, "Stopped"),
                ok(startArgv), out(statusArgv, "RUNNING"), out(bootArgv, "AAAAAAAA-BBBB-4CCC-8DDD-EEEEEEEEEEEE")});
    EXPECT_EQ(s.manager.restart(bootA), bootB);
    s.verify();
    for (const auto& call : s.runner->calls()) EXPECT_FALSE(call.interactive);
}

TEST(LimaRestart, StopsAtTheFirstUnexpectedObservation) {
    const std::string changed = "The server changed state since this restart was requested. It was not restarted again.";
    struct Case {
        std::string label;
        std::vector<Step> steps;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"VM stopped", {out(statusArgv, "Stopped")}, changed},
        {"VM starting", {out(statusArgv, "Starting")}, changed},
        {"another boot", {out(statusArgv, "Running"), out(bootArgv, bootB)}, changed},
        {"not stopped after stop",
         {out(statusArgv, "Running"), out(bootArgv, bootA), ok(stopArgv), out(statusArgv, "Running")},
         "The server did not stop cleanly. It was not force-stopped."},
        {"not running after start",
         {out(statusArgv, "Running"), out(bootArgv, bootA), ok(stopArgv), out(statusArgv, "Stopped"), ok(startArgv),
          out(statusArgv, "Stopped")},
         "The server has not reached its running state."},
        {"same boot after start",
         {out(statusArgv, "Running"), out(bootArgv, bootA), ok(stopArgv), out(statusArgv, "Stopped"), ok(startArgv),
          out(statusArgv, "Running"), out(bootArgv, bootA + "\n")},
         "A new Linux boot could not be verified."},
        {"stop fails, passed on unchanged",
         {out(statusArgv, "Running"), out(bootArgv, bootA), fail(stopArgv, "level=fatal msg=\"stop refused\"\n")},
         "level=fatal msg=\"stop refused\""},
        {"start fails, VM left stopped",
         {out(statusArgv, "Running"), out(bootArgv, bootA), ok(stopArgv), out(statusArgv, "Stopped"),
          {startArgv, Reply::failure(7)}},
         "limactl exited with status 7."},
        {"boot identity unreadable afterwards",
         {out(statusArgv, "Running"), out(bootArgv, bootA), ok(stopArgv), out(statusArgv, "Stopped"), ok(startArgv),
          out(statusArgv, "Running"), out(bootArgv, "")},
         "Could not verify the Linux server boot identity."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Scripted s(c.steps);
        EXPECT_EQ(failureText([&] { s.manager.restart(bootA); }), c.expected);
        s.verify();
    }
}

// ---------------------------------------------------------------------------------------
// Resize: the paths that succeed or stop before changing anything

TEST(LimaResize, RunningVMIsStoppedEditedAndStartedAgain) {
    Scripted s({list("Running", 2, 4 * GiB), ok(stopArgv), list("Stopped", 2, 4 * GiB), ok(editArgv(6, "6.5")),
                list("Stopped", 6, 6 * GiB + 512 * MiB), ok(startArgv), list("Running", 6, 6 * GiB + 512 * MiB)});
    EXPECT_EQ(s.manager.resize({6, 6 * GiB + 512 * MiB}, host, true),
              (VMResourceState{"Running", {6, 6 * GiB + 512 * MiB}}));
    s.verify();
}

TEST(LimaResize, StoppedVMIsNeverStarted) {
    for (bool allowRestart : {false, true}) {
        SCOPED_TRACE(allowRestart);
        Scripted s({list("Stopped", 4, 8 * GiB), list("Stopped", 4, 8 * GiB), ok(editArgv(2, "2.0")),
                    list("Stopped", 2, 2 * GiB), list("Stopped", 2, 2 * GiB)});
        EXPECT_EQ(s.manager.resize({2, 2 * GiB}, host, allowRestart), (VMResourceState{"Stopped", {2, 2 * GiB}}));
        s.verify();
    }
}

TEST(LimaResize, CurrentAllocationReturnsWithoutChanging) {
    for (const std::string state : {"Running", "Stopped", "running"}) {
        for (bool allowRestart : {false, true}) {
            Scripted s({list(state, 4, 8 * GiB)});
            EXPECT_EQ(s.manager.resize({4, 8 * GiB}, host, allowRestart), (VMResourceState{state, {4, 8 * GiB}}));
            s.verify();
        }
    }
}

TEST(LimaResize, RunningVMWithoutPermissionToRestart) {
    Scripted s({list("Running", 2, 4 * GiB)});
    try {
        s.manager.resize({4, 8 * GiB}, host, false);
        ADD_FAILURE() << "resized without permission";
    } catch (const LimaManagerError& error) {
        EXPECT_EQ(error, LimaManagerError::restartRequired());
    }
    s.verify();
}

TEST(LimaResize, InvalidRequestsAreRefusedBeforeLimactlRuns) {
    for (const ResourceAllocation request : std::vector<ResourceAllocation>{
             {9, 8 * GiB}, {0, 8 * GiB}, {4, 25 * GiB}, {4, 1 * GiB}, {4, 8 * GiB + 1 * MiB}}) {
        Scripted s({});
        EXPECT_THROW(s.manager.resize(request, host, true), ResourcePolicyError);
        s.verify();
    }
}

TEST(LimaResize, StopsBeforeTheEditWithoutUndoingAnything) {
    struct Case {
        std::string label;
        std::vector<Step> steps;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"unsettled state", {list("Starting", 2, 4 * GiB)},
         "The VM is Starting. Wait until it is running or stopped before changing resources."},
        {"unsettled, even at the target size", {list("Broken", 4, 8 * GiB)},
         "The VM is Broken. Wait until it is running or stopped before changing resources."},
        {"stop fails", {list("Running", 2, 4 * GiB), fail(stopArgv, "stop refused")}, "stop refused"},
        {"still running after stop", {list("Running", 2, 4 * GiB), ok(stopArgv), list("Running", 2, 4 * GiB)},
         "The VM did not stop cleanly. No resource edit was attempted."},
        {"stopped VM reads as starting", {list("Stopped", 2, 4 * GiB), list("Starting", 2, 4 * GiB)},
         "The VM did not stop cleanly. No resource edit was attempted."},
        {"listing fails after stop", {list("Running", 2, 4 * GiB), ok(stopArgv), fail(listArgv, "list refused")},
         "list refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Scripted s(c.steps);
        EXPECT_EQ(failureText([&] { s.manager.resize({4, 8 * GiB}, host, true); }), c.expected);
        s.verify();
    }
}

// ---------------------------------------------------------------------------------------
// Resize: failures after the edit began, and their recovery

TEST(LimaResize, FailedChangeIsUndoneAndReported) {
    const std::string restored = " The previous CPU/RAM and running state were restored.";
    const std::string notDeleted = " Your VM was not deleted; inspect its state before retrying.";
    // Initial 2 CPUs / 4 GiB; target 4 CPUs / 8 GiB.
    const auto initialRunning = std::vector<Step>{list("Running", 2, 4 * GiB), ok(stopArgv), list("Stopped", 2, 4 * GiB)};
    const auto initialStopped = std::vector<Step>{list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB)};
    const auto join = [](std::vector<std::vector<Step>> parts) {
        std::vector<Step> all;
        for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
        return all;
    };
    // Recovery of a VM that was running and is stopped when recovery begins.
    const std::vector<Step> restoreRunning = {list("Stopped", 4, 8 * GiB), list("Stopped", 4, 8 * GiB),
                                              ok(editArgv(2, "4.0")), ok(startArgv), list("Running", 2, 4 * GiB)};

    struct Case {
        std::string label;
        std::vector<Step> steps;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"edit rejected on a running VM",
         join({initialRunning, {fail(editArgv(4, "8.0"), "level=fatal msg=\"edit refused\"\n")},
               {list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB), ok(editArgv(2, "4.0")), ok(startArgv),
                list("Running", 2, 4 * GiB)}}),
         "Resource change failed: level=fatal msg=\"edit refused\"" + restored},
        {"edit not retained",
         join({initialRunning, {ok(editArgv(4, "8.0")), list("Stopped", 2, 4 * GiB)},
               {list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB), ok(editArgv(2, "4.0")), ok(startArgv),
                list("Running", 2, 4 * GiB)}}),
         "Resource change failed: The VM configuration did not retain the selected CPU and RAM." + restored},
        {"start after the edit fails",
         join({initialRunning, {ok(editArgv(4, "8.0")), list("Stopped", 4, 8 * GiB), fail(startArgv, "start refused")},
               restoreRunning}),
         "Resource change failed: start refused" + restored},
        {"VM stays stopped after the start: recovery stops nothing",
         join({initialRunning,
               {ok(editArgv(4, "8.0")), list("Stopped", 4, 8 * GiB), ok(startArgv), list("Stopped", 4, 8 * GiB)},
               restoreRunning}),
         "Resource change failed: The VM did not reach its expected state after changing resources." + restored},
        {"VM runs at the wrong size: recovery stops it first",
         join({initialRunning,
               {ok(editArgv(4, "8.0")), list("Stopped", 4, 8 * GiB), ok(startArgv), list("Running", 4, 4 * GiB)},
               {list("Running", 4, 4 * GiB), ok(stopArgv), list("Stopped", 4, 4 * GiB), ok(editArgv(2, "4.0")),
                ok(startArgv), list("running", 2, 4 * GiB)}}),
         "Resource change failed: The VM did not reach its expected state after changing resources." + restored},
        {"stopped VM: edit rejected, restored without a start",
         join({initialStopped, {fail(editArgv(4, "8.0"), "bad memory")},
               {list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB), ok(editArgv(2, "4.0")),
                list("Stopped", 2, 4 * GiB)}}),
         "Resource change failed: bad memory" + restored},
        {"stopped VM that starts by itself is a failed change",
         join({initialStopped, {ok(editArgv(4, "8.0")), list("Stopped", 4, 8 * GiB), list("Running", 4, 8 * GiB)},
               {list("Running", 4, 8 * GiB), ok(stopArgv), list("Stopped", 4, 8 * GiB), ok(editArgv(2, "4.0")),
                list("Stopped", 2, 4 * GiB)}}),
         "Resource change failed: The VM did not reach its expected state after changing resources." + restored},
        {"listing undecodable after the edit",
         join({initialStopped, {ok(editArgv(4, "8.0")), out(listArgv, "{}")},
               {list("Stopped", 4, 8 * GiB), list("Stopped", 4, 8 * GiB), ok(editArgv(2, "4.0")),
                list("Stopped", 2, 4 * GiB)}}),
         ""},  // the decoder's own text; checked for its frame below
        {"restore cannot start the VM",
         join({initialRunning, {fail(editArgv(4, "8.0"), "edit refused")},
               {list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB), ok(editArgv(2, "4.0")),
                fail(startArgv, "level=fatal msg=\"no memory\"")}}),
         "Resource change failed: edit refused Recovery also failed: level=fatal msg=\"no memory\"" + notDeleted},
        {"recovery cannot stop the VM",
         join({initialRunning,
               {ok(editArgv(4, "8.0")), list("Stopped", 4, 8 * GiB), ok(startArgv), list("Running", 4, 4 * GiB)},
               {list("Running", 4, 4 * GiB), ok(stopArgv), list("Running", 4, 4 * GiB)}}),
         "Resource change failed: The VM did not reach its expected state after changing resources. Recovery also "
         "failed: The VM must stop cleanly before its old allocation can be restored." + notDeleted},
        {"recovery's stop fails",
         join({initialRunning,
               {ok(editArgv(4, "8.0")), list("Stopped", 4, 8 * GiB), ok(startArgv), list("Running", 4, 4 * GiB)},
               {list("Running", 4, 4 * GiB), {stopArgv, Reply::failure(9)}}}),
         "Resource change failed: The VM did not reach its expected state after changing resources. Recovery also "
         "failed: limactl exited with status 9." + notDeleted},
        {"edit back rejected",
         join({initialStopped, {fail(editArgv(4, "8.0"), "first")},
               {list("Stopped", 4, 8 * GiB), list("Stopped", 4, 8 * GiB), fail(editArgv(2, "4.0"), "second")}}),
         "Resource change failed: first Recovery also failed: second" + notDeleted},
        {"original state not verified",
         join({initialRunning, {fail(editArgv(4, "8.0"), "edit refused")},
               {list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB), ok(editArgv(2, "4.0")), ok(startArgv),
                list("Stopped", 2, 4 * GiB)}}),
         "Resource change failed: edit refused Recovery also failed: Could not verify the original VM state." + notDeleted},
        {"original size not verified",
         join({initialStopped, {fail(editArgv(4, "8.0"), "edit refused")},
               {list("Stopped", 2, 4 * GiB), list("Stopped", 2, 4 * GiB), ok(editArgv(2, "4.0")),
                list("Stopped", 4, 8 * GiB)}}),
         "Resource change failed: edit refused Recovery also failed: Could not verify the original VM state." + notDeleted},
        {"recovery's first listing fails",
         join({initialStopped, {fail(editArgv(4, "8.0"), "edit refused"), fail(listArgv, "list refused")}}),
         "Resource change failed: edit refused Recovery also failed: list refused" + notDeleted},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Scripted s(c.steps);
        const std::string text = failureText([&] { s.manager.resize({4, 8 * GiB}, host, true); });
        if (c.expected.empty()) {
            EXPECT_EQ(text.rfind("Resource change failed: ", 0), 0u) << text;
            EXPECT_TRUE(text.ends_with(restored)) << text;
        } else {
            EXPECT_EQ(text, c.expected);
        }
        s.verify();
        for (const auto& call : s.runner->calls()) {
            EXPECT_FALSE(call.interactive);
            EXPECT_NE(call.arguments[0], "delete");
        }
    }
}

// ---------------------------------------------------------------------------------------
// The memory text of `limactl edit`

TEST(LimaResize, EditMemoryIsTheShortestGiBFractionWithAFractionalPart) {
    const std::vector<std::pair<std::uint64_t, std::string>> cases = {
        {2 * GiB, "2.0"},          {8 * GiB, "8.0"},           {3 * GiB + 256 * MiB, "3.25"}, {6 * GiB + 512 * MiB, "6.5"},
        {13 * GiB + 768 * MiB, "13.75"}, {96 * GiB, "96.0"},   {GiB + 1, "1.0000000009313226"}, {0, "0.0"},
        {1ULL << 40, "1024.0"},    {16384ULL * GiB, "16384.0"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(LimaManager::memoryGiBText(bytes), text) << bytes;
}

}  // namespace
}  // namespace tessaron
