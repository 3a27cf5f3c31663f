// The default worker count: the processors the process may use, from its CPU
// affinity mask and any cgroup CPU quota on its way up the hierarchy.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace orva {

// The number of processors the process may use (affinity mask, then a cgroup CPU
// quota), clamped to 2..16; 4 when it cannot be determined.
unsigned defaultThreadCount();

// The pieces of defaultThreadCount, separated so that they can be tested on
// fixture files. cgroupCpuLimit reads the controller files below rootPrefix
// (empty for the live system) and returns the quota in whole CPUs (at least 1).
std::optional<unsigned> cgroupCpuLimit(std::string_view procSelfCgroup, std::string_view mountInfo,
                                       const std::string& rootPrefix);
unsigned clampThreadCount(std::optional<unsigned> affinityCpus, std::optional<unsigned> quotaCpus);

}  // namespace orva
