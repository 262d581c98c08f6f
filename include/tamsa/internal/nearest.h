// Nearest-neighbour sampling as every scaler and scaled blit does it: the column table and the
// plane loop. Result column i takes source column floor(i * source / result), rows likewise.
// Not installed.
#ifndef TAMSA_INTERNAL_NEAREST_H
#define TAMSA_INTERNAL_NEAREST_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tamsa/internal/sizes.h"

namespace tamsa {

// Walks nearest_index(i, source, result) for i = first, first + 1, ...: the quotient is stepped
// with its remainder rather than divided afresh, which gives the same truncated quotients.
class nearest_walk {
   public:
    nearest_walk(uint32_t first, uint32_t source, uint32_t result)
        : result_(result), step_(source / result), carry_(source % result) {
        const uint64_t product = uint64_t(first) * source;
        index_ = product / result;
        remainder_ = product % result;
    }
    uint32_t index() const { return uint32_t(index_); }
    void next() {
        index_ += step_;
        remainder_ += carry_;
        if (remainder_ >= result_) {
            remainder_ -= result_;
            ++index_;
        }
    }

   private:
    uint64_t result_, step_, carry_;
    uint64_t index_ = 0, remainder_ = 0;
};

// table[k] = scale * nearest_index(first + k, source, result) for k < count: the byte offset,
// within a source row of scale-byte pixels, of the pixel that result column first + k takes.
// result must be above 0, and source * scale must fit the table's type.
template <class T>
void nearest_columns(T *table, uint32_t first, uint32_t count, uint32_t source, uint32_t result,
                     uint32_t scale) {
    nearest_walk walk(first, source, result);
    for (uint32_t k = 0; k < count; ++k, walk.next()) table[k] = T(walk.index() * scale);
}

// Asks for the bytes [p, p + n) to be brought into the cache ahead of their use.
inline void prefetch_bytes(const void *p, size_t n) {
    const auto *b = static_cast<const uint8_t *>(p);
    for (size_t k = 0; k < n; k += 64) __builtin_prefetch(b + k);
}

// The plane loop of every nearest-neighbour scaler: rows first .. last - 1 of the result_height
// rows of row_bytes each, top to bottom, out pointing at row 0. row(out, sy) writes the row that
// samples source row sy; a row that samples the same source row as the row above it (what
// enlarging does) is copied from that row, unless that row is outside the band. ahead(sy) is
// told, before a row is sampled, the source row of the result row a few below it, so that it can
// be fetched while these are worked on: the hardware's prefetcher does not guess across the rows
// a shrink skips.
template <class Row, class Ahead>
void nearest_rows(uint8_t *out, size_t row_bytes, uint32_t source_height, uint32_t result_height,
                  uint32_t first, uint32_t last, Row &&row, Ahead &&ahead) {
    constexpr uint32_t kAhead = 4;
    nearest_walk walk(first, source_height, result_height);
    nearest_walk later(first + kAhead, source_height, result_height);
    uint32_t previous = 0;
    out += size_t(first) * row_bytes;
    for (uint32_t y = first; y < last; ++y, out += row_bytes, walk.next(), later.next()) {
        const uint32_t sy = walk.index();
        if (y > first && sy == previous) {
            std::memcpy(out, out - row_bytes, row_bytes);
        } else {
            if (y + kAhead < result_height && later.index() != sy) ahead(later.index());
            row(out, sy);
        }
        previous = sy;
    }
}

template <class Row, class Ahead>
void nearest_rows(uint8_t *out, size_t row_bytes, uint32_t source_height, uint32_t result_height,
                  Row &&row, Ahead &&ahead) {
    nearest_rows(out, row_bytes, source_height, result_height, 0, result_height, row, ahead);
}

template <class Row>
void nearest_rows(uint8_t *out, size_t row_bytes, uint32_t source_height, uint32_t result_height,
                  Row &&row) {
    nearest_rows(out, row_bytes, source_height, result_height, row, [](uint32_t) {});
}

}  // namespace tamsa

#endif
