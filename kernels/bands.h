// Big pictures in bands: an operation's rows (or a run's bytes) split into consecutive ranges
// that run at once, one on the calling thread and the others on a small pool of threads the
// library keeps. Each range writes only its own rows, so the bytes are those of one thread.
// Private to the library.
#ifndef TAMSA_KERNELS_BANDS_H
#define TAMSA_KERNELS_BANDS_H

#include <cstdint>
#include <type_traits>

namespace tamsa::bands {

// What a band costs, in bytes written by a row kernel as cheap as a byte-table lookup; an
// operation that does more per byte counts its rows' bytes times its own weight.
//
// The number of bands work of `units` units costing `unit_cost` each is split into: 1 while one
// thread is set or below twice the threshold, else a few per thread, each band worth the
// threshold at least, and no more than units.
int64_t count(int64_t units, int64_t unit_cost);

using band_fn = void (*)(void *context, int64_t first, int64_t last);

// Runs band(context, first, last) once for each of `bands` consecutive ranges that cover
// [0, units), their inner boundaries multiples of grain; returns when all have run. The caller
// takes bands itself until none is left, so it never waits for a pool busy with other callers'
// work, only for bands its helpers have taken.
void run(int64_t units, int64_t bands, int64_t grain, band_fn band, void *context);

// band(first, last) over [0, units) in as many bands as the work is worth.
template <class Band>
void split(int64_t units, int64_t unit_cost, int64_t grain, Band &&band) {
    if (units <= 0) return;
    const int64_t n = count(units, unit_cost);
    if (n <= 1) {
        band(int64_t(0), units);
        return;
    }
    run(
        units, n, grain,
        [](void *context, int64_t first, int64_t last) {
            (*static_cast<std::remove_reference_t<Band> *>(context))(first, last);
        },
        const_cast<void *>(static_cast<const void *>(&band)));
}

template <class Band>
void split(int64_t units, int64_t unit_cost, Band &&band) {
    split(units, unit_cost, 1, band);
}

// The grain of byte runs: bands start on whole cache lines of their output.
inline constexpr int64_t kLine = 64;

// Work per band at least, in the units of count(), unless a test has set another. On a 2-core
// machine shared with other work, two bands lost to one up to 1536 x 1024 pixels of a byte
// table (4.5 MiB) and gained at 4K (threads_bench).
inline constexpr int64_t kMinBandWork = int64_t(1) << 22;

}  // namespace tamsa::bands

#endif
