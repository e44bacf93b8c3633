#include "host/pairing_store.h"

#include "host/device_credential_store.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <barrier>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <thread>

namespace tessaron {
namespace {
namespace fs = std::filesystem;
namespace tt = tessaron::testing;

AgentConfiguration pairingOf(const std::string& machineID) {
    return AgentConfiguration{machineID, *Url::parse("https://panel.example"), {}, "127.0.0.1", "tessaron", "wireguard"};
}

// What the call threw: "credential", "system" or "none".
std::string refusalOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const DeviceCredentialError&) {
        return "credential";
    } catch (const SystemError&) {
        return "system";
    }
    return "none";
}

TEST(PairingStore, APairingThatCouldNotBeSavedIsToldBeforehand) {
    struct Case {
        const char* name;
        std::function<void(const fs::path& support)> prepare;
        std::string refusal;
    };
    const std::vector<Case> cases = {
        {"a fresh home", [](const fs::path&) {}, "none"},
        {"an earlier pairing", [](const fs::path&) {
             PairingStore::save(pairingOf("mac-1"), "token-1");
         }, "none"},
        {"a folder open to others", [](const fs::path& support) {
             fs::create_directories(support);
             ::chmod(support.c_str(), 0755);
         }, "credential"},
        {"a folder at agent.json", [](const fs::path& support) {
             fs::create_directories(support / "agent.json");
             ::chmod(support.c_str(), 0700);
         }, "system"},
        {"a folder at the credential", [](const fs::path& support) {
             fs::create_directories(support / "headless-token");
             ::chmod(support.c_str(), 0700);
         }, "system"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        tt::TempHome home;
        c.prepare(home.supportDir());
        EXPECT_EQ(refusalOf([] { PairingStore::requireWritable(); }), c.refusal);
        EXPECT_TRUE(fs::is_directory(home.supportDir())) << "created when missing";
    }
}

TEST(PairingStore, AConfigurationThatCannotBeSavedTakesTheNewCredentialBack) {
    for (const bool earlier : {false, true}) {
        SCOPED_TRACE(earlier ? "replacing a credential" : "first pairing");
        tt::TempHome home;
        const fs::path credential = home.supportDir() / "headless-token";
        if (earlier) DeviceCredentialStore::exportForHeadlessService("old-token", credential);
        fs::create_directories(home.supportDir() / "agent.json");  // the rename over it fails

        EXPECT_THROW(PairingStore::save(pairingOf("mac-2"), "new-token"), Error);
        if (earlier) EXPECT_EQ(DeviceCredentialStore::tokenFromFile(credential), "old-token");
        else EXPECT_FALSE(fs::exists(credential));
        EXPECT_TRUE(fs::is_directory(home.supportDir() / "agent.json"));
    }
}

TEST(PairingStore, PairingsSavedAtOnceLeaveOneMatchingPair) {
    tt::TempHome home;
    const std::vector<std::pair<std::string, std::string>> pairings = {{"mac-a", "token-a"}, {"mac-b", "token-b"}};
    for (int round = 0; round < 40; ++round) {
        std::barrier start(2);
        std::vector<std::thread> savers;
        for (const auto& [machine, token] : pairings) {
            savers.emplace_back([&, machine, token] {
                start.arrive_and_wait();
                PairingStore::save(pairingOf(machine), token);
            });
        }
        for (auto& saver : savers) saver.join();
        const std::string machine = AgentConfigurationStore::load().machineID;
        const std::string token = DeviceCredentialStore::load(machine);
        ASSERT_EQ(token, machine == "mac-a" ? "token-a" : "token-b") << "round " << round;
    }
}

TEST(PairingStore, StaleTemporariesOfKilledSavesAreSwept) {
    tt::TempHome home;
    PairingStore::save(pairingOf("mac-1"), "token-1");
    const std::vector<std::string> strays = {".agent-" + std::string("0F1E2D3C-4B5A-4968-8776-655443322110"),
                                             ".credential-" + std::string("0F1E2D3C-4B5A-4968-8776-655443322111")};
    for (const auto& name : strays) {
        tt::writeFile(home.supportDir() / name, "half");
        const timespec old[2] = {{1, 0}, {1, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, (home.supportDir() / name).c_str(), old, 0), 0);
    }
    PairingStore::sweepInterruptedWrites();
    for (const auto& name : strays) EXPECT_FALSE(fs::exists(home.supportDir() / name)) << name;
    EXPECT_EQ(AgentConfigurationStore::load().machineID, "mac-1");
    EXPECT_EQ(DeviceCredentialStore::load("mac-1"), "token-1");
}

}  // namespace
}  // namespace tessaron
