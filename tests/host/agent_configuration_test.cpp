#include "host/agent_configuration.h"

#include "support/temp_dir.h"

#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace tessaron;
namespace fs = std::filesystem;
namespace tt = tessaron::testing;

namespace {

Url url(const char* text) { return *Url::parse(text); }

AgentConfiguration sample() {
    return AgentConfiguration{"mac-123",
                              url("https://panel.example.com"),
                              {url("wss://edge-a.example.com/tunnel"), url("wss://edge-b.example.com/tunnel")},
                              "127.0.0.1",
                              "tessaron",
                              "wireguard"};
}

mode_t modeOf(const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

AgentConfigurationError::Kind kindOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const AgentConfigurationError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no AgentConfigurationError";
    return AgentConfigurationError::Kind::applicationSupportUnavailable;
}

}  // namespace

TEST(TessaronEndpoints, DefaultControlIsAnHTTPSSchemeAndHost) {
    EXPECT_EQ(TessaronEndpoints::defaultControlText(), "https://panel.tessaron.invalid");
    EXPECT_EQ(TessaronEndpoints::defaultControl().scheme(), "https");
    EXPECT_EQ(TessaronEndpoints::defaultControl().path(), "");
    // Built once: every thread sees the same object.
    const Url* seen[4] = {};
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = &TessaronEndpoints::defaultControl(); });
    for (auto& thread : threads) thread.join();
    for (auto* pointer : seen) EXPECT_EQ(pointer, &TessaronEndpoints::defaultControl());
}

TEST(AgentConfigurationError, TextsAreTheUserSentences) {
    EXPECT_STREQ(AgentConfigurationError(AgentConfigurationError::Kind::applicationSupportUnavailable).what(),
                 "The user Application Support directory is unavailable.");
    EXPECT_STREQ(AgentConfigurationError(AgentConfigurationError::Kind::notPaired).what(),
                 "This Mac is not paired. Run `tessaron pair` first.");
}

TEST(AgentConfiguration, EqualityComparesEveryFieldAndEdgeOrder) {
    AgentConfiguration a = sample();
    EXPECT_EQ(a, sample());
    AgentConfiguration swapped = a;
    std::swap(swapped.edgeURLs[0], swapped.edgeURLs[1]);
    EXPECT_NE(a, swapped);
    AgentConfiguration noVM = a;
    noVM.vmName.reset();
    EXPECT_NE(a, noVM);
    AgentConfiguration emptyVM = a;
    emptyVM.vmName = "";
    EXPECT_NE(noVM, emptyVM);
}

TEST(AgentConfiguration, JsonWritesOptionalKeysOnlyWhenPresent) {
    AgentConfiguration a = sample();
    auto object = a.toJson();
    EXPECT_EQ(object["controlURL"], "https://panel.example.com");
    EXPECT_EQ(object["edgeURLs"].size(), 2u);
    EXPECT_EQ(object["vmName"], "tessaron");
    a.vmName.reset();
    a.transport.reset();
    object = a.toJson();
    EXPECT_FALSE(object.contains("vmName"));
    EXPECT_FALSE(object.contains("transport"));
    EXPECT_EQ(AgentConfiguration::fromJson(object), a);
}

TEST(AgentConfiguration, DecodingAcceptsMissingOrNullOptionalsAndIgnoresUnknownKeys) {
    const auto minimal = json::parseObject(
        R"({"machineID":"m","controlURL":"https://p.example","edgeURLs":[],"localHost":"127.0.0.1","extra":[1,2]})");
    const auto nulls = json::parseObject(
        R"({"machineID":"m","controlURL":"https://p.example","edgeURLs":[],"localHost":"127.0.0.1","vmName":null,"transport":null})");
    AgentConfiguration a = AgentConfiguration::fromJson(minimal);
    EXPECT_FALSE(a.vmName);
    EXPECT_FALSE(a.transport);
    EXPECT_TRUE(a.edgeURLs.empty());
    EXPECT_EQ(AgentConfiguration::fromJson(nulls), a);
}

TEST(AgentConfiguration, DecodingRefusesMissingKeysWrongTypesAndNonURLs) {
    const char* bad[] = {
        R"({"controlURL":"https://p.example","edgeURLs":[],"localHost":"h"})",                  // no machineID
        R"({"machineID":"m","edgeURLs":[],"localHost":"h"})",                                    // no controlURL
        R"({"machineID":"m","controlURL":"https://p.example","localHost":"h"})",                 // no edgeURLs
        R"({"machineID":"m","controlURL":"https://p.example","edgeURLs":[]})",                   // no localHost
        R"({"machineID":7,"controlURL":"https://p.example","edgeURLs":[],"localHost":"h"})",     // wrong type
        R"({"machineID":"m","controlURL":"not a url","edgeURLs":[],"localHost":"h"})",           // not a URL
        R"({"machineID":"m","controlURL":"/relative","edgeURLs":[],"localHost":"h"})",           // not absolute
        R"({"machineID":"m","controlURL":"https://p.example","edgeURLs":"wss://e","localHost":"h"})",
        R"({"machineID":"m","controlURL":"https://p.example","edgeURLs":[3],"localHost":"h"})",
        R"({"machineID":"m","controlURL":"https://p.example","edgeURLs":[],"localHost":"h","vmName":5})",
        R"(["machineID"])",
        // The machine ID travels in a header: nothing that could end or split the line.
        R"({"machineID":"m\r\nX-Injected: yes","controlURL":"https://p.example","edgeURLs":[],"localHost":"h"})",
        R"({"machineID":"m 1","controlURL":"https://p.example","edgeURLs":[],"localHost":"h"})",
        R"({"machineID":"m\u00e9","controlURL":"https://p.example","edgeURLs":[],"localHost":"h"})",
    };
    for (const char* text : bad) EXPECT_THROW(AgentConfiguration::fromJson(json::parse(text)), json::DecodingError) << text;
}

TEST(AgentConfigurationStore, DefaultLocationAndOverride) {
    tt::TempHome home;
    EXPECT_EQ(AgentConfigurationStore::defaultURL(), home.supportDir() / "agent.json");
    {
        tt::ScopedEnv empty("TESSARON_CONFIG_PATH", "");
        EXPECT_EQ(AgentConfigurationStore::defaultURL(), home.supportDir() / "agent.json");
    }
    tt::ScopedEnv custom("TESSARON_CONFIG_PATH", "/x/y/custom.json");
    EXPECT_EQ(AgentConfigurationStore::defaultURL(), fs::path("/x/y/custom.json"));
}

TEST(AgentConfigurationStore, SaveThenLoadRoundTripsWithPrivateModes) {
    tt::TempHome home;
    const fs::path target = home.path() / "new" / "deeper" / "agent.json";
    tt::ScopedEnv custom("TESSARON_CONFIG_PATH", target.string());
    EXPECT_EQ(kindOf([] { AgentConfigurationStore::load(); }), AgentConfigurationError::Kind::notPaired);

    AgentConfigurationStore::save(sample());
    EXPECT_EQ(AgentConfigurationStore::load(), sample());
    EXPECT_EQ(modeOf(target), 0600u);
    EXPECT_EQ(modeOf(target.parent_path()), 0700u);
    EXPECT_EQ(modeOf(target.parent_path().parent_path()), 0700u);

    // Replacing keeps the file private and leaves no temporary sibling behind.
    AgentConfiguration other = sample();
    other.edgeURLs.clear();
    other.transport.reset();
    AgentConfigurationStore::save(other);
    EXPECT_EQ(AgentConfigurationStore::load(), other);
    EXPECT_EQ(modeOf(target), 0600u);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(target.parent_path())) ++entries;
    EXPECT_EQ(entries, 1u);
}

TEST(AgentConfigurationStore, ExplicitPathsBypassTheDefault) {
    tt::TempHome home;
    const fs::path elsewhere = home.path() / "elsewhere.json";
    AgentConfigurationStore::save(sample(), elsewhere);
    EXPECT_FALSE(fs::exists(AgentConfigurationStore::defaultURL()));
    EXPECT_EQ(AgentConfigurationStore::load(elsewhere), sample());
}

TEST(AgentConfigurationStore, ADamagedFileIsNotReportedAsUnpairedAndIsNamed) {
    tt::TempHome home;
    const fs::path target = home.supportDir() / "agent.json";
    const std::string valid = R"({"machineID":"m","controlURL":"https://p.example","edgeURLs":[],"localHost":"h"})";
    struct Case {
        const char* name;
        std::function<void()> plant;
        bool decoding;  // a json::DecodingError naming the file, else a refusal of the file itself
    };
    const std::vector<Case> cases = {
        {"cut short", [&] { tt::writeFile(target, "{\"machineID\":"); }, true},
        {"a key missing", [&] { tt::writeFile(target, R"({"machineID":"m","controlURL":"https://p.example","localHost":"h"})"); },
         true},
        // A folder or a FIFO at the path is refused, never "not paired", and never hangs.
        {"folder", [&] { fs::create_directory(target); }, false},
        {"fifo", [&] { ASSERT_EQ(::mkfifo(target.c_str(), 0600), 0); }, false},
        // Only the first 64 KiB are ever read: a huge file is refused, not loaded whole.
        {"over 64 KiB",
         [&] { tt::writeFile(target, valid.substr(0, valid.size() - 1) + ",\"pad\":\"" + std::string(65536, 'x') + "\"}"); },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(target);
        c.plant();
        try {
            AgentConfigurationStore::load();
            ADD_FAILURE() << "loaded";
        } catch (const json::DecodingError& error) {
            EXPECT_TRUE(c.decoding);
            EXPECT_NE(std::string(error.what()).find(target.string()), std::string::npos) << error.what();
        } catch (const AgentConfigurationError&) {
            ADD_FAILURE() << "taken for an unpaired Mac";
        } catch (const Error& error) {
            EXPECT_FALSE(c.decoding) << error.what();
        }
    }
    // Exactly 64 KiB still loads, through a symbolic link too.
    fs::remove_all(target);
    const std::string exact = valid.substr(0, valid.size() - 1) + ",\"pad\":\"" +
                              std::string(AgentConfigurationStore::maximumBytes - valid.size() - 9, 'x') + "\"}";
    ASSERT_EQ(exact.size(), AgentConfigurationStore::maximumBytes);
    tt::writeFile(home.path() / "real.json", exact);
    fs::create_symlink(home.path() / "real.json", target);
    EXPECT_EQ(AgentConfigurationStore::load().machineID, "m");
}

TEST(AgentConfigurationStore, ForgetRemovesTheFileAndToleratesItsAbsence) {
    tt::TempHome home;
    AgentConfigurationStore::save(sample());
    AgentConfigurationStore::forget();
    EXPECT_FALSE(fs::exists(AgentConfigurationStore::defaultURL()));
    EXPECT_NO_THROW(AgentConfigurationStore::forget());
    EXPECT_EQ(kindOf([] { AgentConfigurationStore::load(); }), AgentConfigurationError::Kind::notPaired);
}

TEST(AgentConfigurationStore, ConcurrentReadersSeeOneWholeFileOrTheOther) {
    tt::TempHome home;
    AgentConfiguration first = sample();
    AgentConfiguration second = sample();
    second.machineID = std::string(20000, 'm');  // large enough that a torn read would show
    second.edgeURLs.clear();
    AgentConfigurationStore::save(first);
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!stop.load()) {
            try {
                AgentConfiguration seen = AgentConfigurationStore::load();
                if (seen != first && seen != second) ++torn;
            } catch (const std::exception&) {
                ++torn;
            }
        }
    });
    for (int i = 0; i < 300; ++i) AgentConfigurationStore::save(i % 2 ? first : second);
    stop.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

TEST(AgentConfigurationStore, WithoutAHomeFolderEveryOperationFailsBeforeTouchingTheDisk) {
    tt::TempHome home;
    pid_t pid = ::fork();
    if (pid == 0) {
        // No HOME and a user the password database does not know.
        ::unsetenv("HOME");
        if (::setgid(54321) != 0 || ::setuid(54321) != 0) ::_exit(20);
        auto unavailable = [](const std::function<void()>& action) {
            try {
                action();
            } catch (const AgentConfigurationError& error) {
                return error.kind() == AgentConfigurationError::Kind::applicationSupportUnavailable;
            } catch (...) {
            }
            return false;
        };
        if (!unavailable([] { AgentConfigurationStore::defaultURL(); })) ::_exit(21);
        if (!unavailable([] { AgentConfigurationStore::save(sample()); })) ::_exit(22);
        if (!unavailable([] { AgentConfigurationStore::load(); })) ::_exit(23);
        if (!unavailable([] { AgentConfigurationStore::forget(); })) ::_exit(24);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
