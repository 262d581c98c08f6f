// Names in every benchmark program's context the level its kernels run at, which TAMSA_CPU may
// hold below the CPU's best, and the levels the CPU offers; and the threads big pictures run on.
#include <benchmark/benchmark.h>

#include <string>

#include "tamsa/tamsa.h"

namespace {

[[maybe_unused]] const bool named = [] {
    std::string level = tamsa_cpu_level();
    if (tamsa_cpu_setting() == TAMSA_CPU_HONOURED) level += ", as TAMSA_CPU says";
    if (tamsa_cpu_setting() == TAMSA_CPU_IGNORED) level += ", TAMSA_CPU ignored";
    benchmark::AddCustomContext("kernels", level + " (offered: " + tamsa_cpu_levels() + ")");
    std::string threads = std::to_string(tamsa_threads());
    if (tamsa_threads_setting() == TAMSA_THREADS_HONOURED) threads += ", as TAMSA_THREADS says";
    if (tamsa_threads_setting() == TAMSA_THREADS_IGNORED) threads += ", TAMSA_THREADS ignored";
    benchmark::AddCustomContext("threads", threads);
    return true;
}();

}  // namespace
