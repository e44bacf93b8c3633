#include "host/pairing_key.h"

#include "host/agent_configuration.h"

#include <gtest/gtest.h>

using namespace tessaron;

TEST(PairingKey, IsTheDigestOfTheControlURLTextAndTheMachineID) {
    // Independently computed: printf 'https://panel.example.com\nmac-123' | sha256sum
    EXPECT_EQ(pairingKey(*Url::parse("https://panel.example.com"), "mac-123"),
              "2b0e45f7d04c5484a7a261962b0884227e79e56a7d68208c2fa44fa650bba357");
    // The URL text is used as written, so a trailing slash makes another pairing.
    EXPECT_EQ(pairingKey(*Url::parse("https://panel.example.com/"), "mac-123"),
              "f52a173e74ca4a121889b04ac46b0900c1f99ca6bcff31ea7582e17a6fcf3b6e");
}

TEST(PairingKey, OfAConfigurationUsesItsControlURLAndMachineIDOnly) {
    AgentConfiguration a{"mac-123", *Url::parse("https://panel.example.com"), {}, "127.0.0.1", std::nullopt, std::nullopt};
    AgentConfiguration b = a;
    b.edgeURLs = {*Url::parse("wss://edge.example.com/tunnel")};
    b.vmName = "tessaron";
    b.transport = "wireguard";
    EXPECT_EQ(pairingKey(a), pairingKey(b));
    EXPECT_EQ(pairingKey(a), pairingKey(a.controlURL, a.machineID));
    b.machineID = "mac-124";
    EXPECT_NE(pairingKey(a), pairingKey(b));
}
