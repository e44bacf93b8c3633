#include "cli/usage.h"

#include "host/agent_configuration.h"

namespace tessaron::cli {

std::string usageText() {
    const std::string control = TessaronEndpoints::defaultControlText();
    std::string text;
    auto line = [&text](const std::string& l) { text += l + "\n"; };
    line("Tessaron \u2014 one Linux VM, exposed through a self-hosted edge");
    line("");
    line("tessaron onboard --control " + control);
    line("  [--profile eco|balanced|performance] [--cpus 4] [--memory-gib 8]");
    line("  [--disk-gib 40] [--vm-template template:ubuntu-lts]");
    line("tessaron pair --control " + control);
    line("tessaron serve");
    line("tessaron network");
    line("tessaron connection-status");
    line("tessaron enable-headless");
    line("tessaron service enable [--replace-existing]");
    line("tessaron ssh [command]");
    line("tessaron vm start|stop|status|shell");
    line("tessaron vm resources");
    line("tessaron vm listeners");
    line("tessaron server status");
    line("tessaron server disconnect");
    line("tessaron server connect");
    line("tessaron server restart --confirm");
    line("tessaron vm resize --cpus 4 --memory-gib 8 [--restart]");
    line("");
    line("`onboard` creates one Lima/VZ ARM64 Linux VM. Balanced is the default,");
    line("and custom allocations are validated to preserve resources for macOS.");
    line("`ssh` opens the local VM terminal through Lima's private SSH connection.");
    line("`pair` links the existing VM and reports its actual CPU and memory allocation.");
    line("`vm resources` prints actual allocation and this Mac's safe limits as JSON.");
    line("`vm listeners` lists existing Linux sockets without starting or exposing apps.");
    line("`vm resize` changes only CPU/RAM, preserving the VM disk and installed software.");
    line("A running VM requires explicit --restart; a stopped VM stays stopped.");
    line("`network` configures the encrypted inbound-only tunnel once; `serve` keeps it connected.");
    line("`connection-status` reports the real guest tunnel and helper separately, without connecting.");
    line("`service enable` keeps hosting in the background and restarts a crashed helper.");
    line("Install the app in Applications first. This service runs while your Mac user is signed in.");
    line("Docker is not installed; the user controls all software inside the VM.");
    line("`enable-headless` installs an opt-in launch daemon so the VM and tunnel");
    line("can start after reboot without waiting for a desktop login.");
    return text;
}

}  // namespace tessaron::cli
