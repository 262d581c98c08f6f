// Names in every benchmark program's context the level its kernels run at, which TAMSA_CPU may
// hold below the CPU's best, and the levels the CPU offers.
#include <benchmark/benchmark.h>

#include <string>

#include "tamsa/tamsa.h"

namespace {

[[maybe_unused]] const bool named = [] {
    std::string level = tamsa_cpu_level();
    if (tamsa_cpu_setting() == TAMSA_CPU_HONOURED) level += ", as TAMSA_CPU says";
    if (tamsa_cpu_setting() == TAMSA_CPU_IGNORED) level += ", TAMSA_CPU ignored";
    benchmark::AddCustomContext("kernels", level + " (offered: " + tamsa_cpu_levels() + ")");
    return true;
}();

}  // namespace
