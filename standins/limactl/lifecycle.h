#pragma once
// The commands that change an instance: start (creating it when asked), stop, delete, edit.

#include "standins/limactl/faults.h"

#include <string>
#include <vector>

namespace tessaron::standin::limactl {

int runStart(const std::vector<std::string>& arguments, const FaultEffects& effects);
int runStop(const std::vector<std::string>& arguments, const FaultEffects& effects);
int runDelete(const std::vector<std::string>& arguments, const FaultEffects& effects);
int runEdit(const std::vector<std::string>& arguments, const FaultEffects& effects);

}  // namespace tessaron::standin::limactl
