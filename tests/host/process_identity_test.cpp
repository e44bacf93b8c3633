#include "host/process_identity.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <unistd.h>

namespace tessaron {
namespace {

namespace fs = std::filesystem;
using Identity = AgentProcessIdentity;

// A heap buffer of exactly the given bytes, so that a read past its end is caught by
// AddressSanitizer.
std::vector<std::uint8_t> buffer(std::uint32_t count, std::string_view rest) {
    std::vector<std::uint8_t> bytes(sizeof count + rest.size());
    std::memcpy(bytes.data(), &count, sizeof count);
    std::copy(rest.begin(), rest.end(), bytes.begin() + sizeof count);
    return bytes;
}

std::string_view operator""_b(const char* text, std::size_t length) { return {text, length}; }

std::optional<Identity> decode(const std::vector<std::uint8_t>& bytes) {
    std::vector<std::uint8_t> exact(bytes);  // shrink the capacity to the size
    exact.shrink_to_fit();
    return Identity::decode(exact);
}

TEST(AgentProcessIdentity, DecodesTheProcessArgumentsLayout) {
    const Identity serve{{"tessaron", "serve"}, std::nullopt};
    struct Row {
        std::string name;
        std::vector<std::uint8_t> bytes;
        std::optional<Identity> expected;
    };
    const std::vector<Row> table = {
        {"arguments only", buffer(2, "/opt/tessaron\0\0\0tessaron\0serve\0"_b), serve},
        {"no padding", buffer(2, "/opt/tessaron\0tessaron\0serve\0"_b), serve},
        {"environment",
         buffer(2, "/t\0\0tessaron\0serve\0HOME=/root\0TESSARON_CONFIG_PATH=/srv/agent.json\0PATH=/bin\0"_b),
         Identity{{"tessaron", "serve"}, "/srv/agent.json", "/root"}},
        {"a later setting wins",
         buffer(2, "/t\0tessaron\0serve\0TESSARON_CONFIG_PATH=/a\0TESSARON_CONFIG_PATH=rel/b\0"_b),
         Identity{{"tessaron", "serve"}, "rel/b"}},
        {"an empty setting is absent", buffer(2, "/t\0tessaron\0serve\0TESSARON_CONFIG_PATH=/a\0TESSARON_CONFIG_PATH=\0"_b),
         serve},
        {"a name without value is another variable", buffer(2, "/t\0tessaron\0serve\0TESSARON_CONFIG_PATH\0XTESSARON_CONFIG_PATH=/x\0"_b),
         serve},
        {"trailing padding", buffer(2, "/t\0tessaron\0serve\0A=1\0\0\0\0"_b), serve},
        {"empty argument", buffer(3, "/t\0tessaron\0\0serve\0"_b), Identity{{"tessaron", "", "serve"}, std::nullopt}},
        {"utf-8 argument", buffer(1, "/t\0caf\xC3\xA9\0"_b), Identity{{"caf\u00e9"}, std::nullopt}},
        {"the largest count", [] {
             std::string rest("/t\0", 3);
             for (int i = 0; i < 4095; ++i) rest += std::string("a") + '\0';
             return buffer(4095, rest);
         }(),
         Identity{std::vector<std::string>(4095, "a"), std::nullopt}},
        // Everything below has no identity.
        {"empty", {}, std::nullopt},
        {"four bytes", buffer(1, ""), std::nullopt},
        {"count without path", buffer(1, "\0"_b), std::nullopt},
        {"zero count", buffer(0, "/t\0a\0"_b), std::nullopt},
        {"count 4096", buffer(4096, "/t\0a\0"_b), std::nullopt},
        {"huge count", buffer(0xFFFFFFFFu, "/t\0a\0"_b), std::nullopt},
        {"more arguments than strings", buffer(3, "/t\0tessaron\0serve\0"_b), std::nullopt},
        {"large count, few strings", buffer(4095, "/t\0a\0b\0"_b), std::nullopt},
        {"unterminated path", buffer(1, "/opt/tessaron"), std::nullopt},
        {"path then nothing", buffer(1, "/opt/tessaron\0\0\0"_b), std::nullopt},
        {"unterminated argument", buffer(2, "/t\0tessaron\0serve"_b), std::nullopt},
        {"unterminated environment", buffer(2, "/t\0tessaron\0serve\0TESSARON_CONFIG_PATH=/a"_b), std::nullopt},
        {"invalid path", buffer(1, "/t\xFF\0a\0"_b), std::nullopt},
        {"invalid argument", buffer(2, "/t\0tessaron\0ser\xC3\0"_b), std::nullopt},
        {"invalid environment", buffer(2, "/t\0tessaron\0serve\0X=\xED\xA0\x80\0"_b), std::nullopt},
    };
    for (const auto& row : table) EXPECT_EQ(decode(row.bytes), row.expected) << row.name;

    // Every truncation of a valid buffer either decodes or is refused, never over-read.
    auto full = buffer(2, "/opt/tessaron\0\0\0tessaron\0serve\0TESSARON_CONFIG_PATH=/a\0"_b);
    for (std::size_t size = 0; size < full.size(); ++size) {
        std::vector<std::uint8_t> prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(size));
        auto identity = decode(prefix);
        if (identity) {
            EXPECT_EQ(identity->arguments, serve.arguments) << size;
        }
    }
}

TEST(AgentProcessIdentity, BufferIsAssembledFromProcFiles) {
    auto bytes = process_identity::argumentsBuffer("/opt/x/tessaron", "tessaron\0serve"_b, "A=1\0TESSARON_CONFIG_PATH=/c\0"_b);
    std::uint32_t count;
    std::memcpy(&count, bytes.data(), sizeof count);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(decode(bytes), (Identity{{"tessaron", "serve"}, "/c"}));
    // The path is padded to a multiple of 8 bytes: 4 + 15 + NUL = 20, so 4 padding NULs.
    EXPECT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 24), std::string("/opt/x/tessaron\0\0\0\0\0"_b));

    testing::TempDir proc;
    auto process = [&](const std::string& pid, const char* exe, std::optional<std::string> cmdline,
                       std::optional<std::string> environ) {
        fs::create_directories(proc / pid);
        if (exe) fs::create_symlink(exe, proc / pid / "exe");
        if (cmdline) testing::writeFile(proc / pid / "cmdline", *cmdline);
        if (environ) testing::writeFile(proc / pid / "environ", *environ);
    };
    process("100", "/opt/x/tessaron", std::string("tessaron\0serve\0"_b), std::string("TESSARON_CONFIG_PATH=/srv/a.json\0"_b));
    process("101", "/opt/x/tessaron (deleted)", std::string("tessaron\0serve"_b), std::string());
    process("102", "/opt/x/tessaron", std::string(), std::string());         // a kernel thread
    process("103", "/opt/x/tessaron", std::string("tessaron\0"_b), std::nullopt);  // environment unreadable
    process("104", nullptr, std::string("tessaron\0serve\0"_b), std::string());  // executable unreadable
    process("105", "/opt/x/tessaron", std::string("tessaron\0ser\xFF\0"_b), std::string());

    EXPECT_EQ(process_identity::identity(100, proc.path()), (Identity{{"tessaron", "serve"}, "/srv/a.json"}));
    EXPECT_EQ(process_identity::identity(101, proc.path()), (Identity{{"tessaron", "serve"}, std::nullopt}));
    for (std::int32_t pid : {102, 103, 104, 105, 106, 0, -1})
        EXPECT_FALSE(process_identity::identity(pid, proc.path())) << pid;
    // Only one whose arguments read as nothing has none (starting or exiting); a gone one is not.
    EXPECT_TRUE(process_identity::withoutArguments(102, proc.path()));
    for (std::int32_t pid : {100, 103, 106, 0})
        EXPECT_FALSE(process_identity::withoutArguments(pid, proc.path())) << pid;
}

TEST(AgentProcessIdentity, ReadsThisProcess) {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> expected;
    for (std::size_t at = 0; at < cmdline.size();) {
        std::size_t end = cmdline.find('\0', at);
        expected.push_back(cmdline.substr(at, end - at));
        at = end + 1;
    }
    auto identity = process_identity::identity(static_cast<std::int32_t>(::getpid()));
    ASSERT_TRUE(identity);
    EXPECT_EQ(identity->arguments, expected);
}

}  // namespace
}  // namespace tessaron
