#pragma once
// `limactl list`: one JSON object per instance and line (--json), a Go-template line per
// instance (--format '{{.Status}}'), or the table.

#include "standins/limactl/faults.h"
#include "standins/limactl/instance.h"

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tessaron::standin::limactl {

// The listing object of one instance; `forcedStatus` replaces the status text.
nlohmann::json listingObject(const InstanceState& state, const std::optional<std::string>& forcedStatus);

// Expands a listing template ("{{.Status}}", "{{.SSHLocalPort}}", "{{json .}}", …).
std::string expandTemplate(const std::string& format, const nlohmann::json& listing);

int runList(const std::vector<std::string>& arguments, const FaultEffects& effects);

}  // namespace tessaron::standin::limactl
