// Nearest-neighbour scaling of 1- and 3-byte frames to half and twice their size, timed against
// a memcpy of the output (the counter x_memcpy), at capture sizes and at sizes that are no
// multiple of 16 or 64.
#include <benchmark/benchmark.h>

#include "bus_block.h"
#include "memcpy_ratio.h"
#include "tamsa/internal/testing.h"

namespace {

// Arguments: source width, source height, 0 to halve or 1 to double, plain kernel (0/1).
template <int Depth>
void BM_Scale(benchmark::State &state) {
    const auto sw = uint32_t(state.range(0)), sh = uint32_t(state.range(1));
    const bool enlarge = state.range(2) != 0;
    const uint32_t dw = enlarge ? sw * 2 : sw / 2, dh = enlarge ? sh * 2 : sh / 2;
    Block source(size_t(sw) * sh * Depth), out(size_t(dw) * dh * Depth);
    tamsa::use_plain_kernels(state.range(3) != 0);
    tamsa_bench::against_memcpy(state, size_t(dw) * dh * Depth, [&] {
        (Depth == 3 ? kv_scale24 : kv_scale8)(source.data, out.data, sw, sh, dw, dh);
    });
    tamsa::use_plain_kernels(false);
}

void sizes(benchmark::internal::Benchmark *b) {
    b->ArgNames({"w", "h", "enlarge", "plain"})->UseManualTime();
    b->ArgsProduct({{640}, {480}, {0, 1}, {0, 1}});
    b->ArgsProduct({{1920}, {1080}, {0, 1}, {0}});
    b->ArgsProduct({{641}, {479}, {0, 1}, {0}});
    b->ArgsProduct({{1917}, {1079}, {0, 1}, {0}});
    b->ArgsProduct({{3840}, {2160}, {0, 1}, {0}});
    b->ArgsProduct({{7680}, {4320}, {0}, {0}});  // twice 8K would not fit the bus beside its copy
}

BENCHMARK(BM_Scale<1>)->Name("BM_Scale8")->Apply(sizes);
BENCHMARK(BM_Scale<3>)->Name("BM_Scale24")->Apply(sizes);

}  // namespace
