// A block in the bus filled with a fixed pattern, freed with the benchmark.
#ifndef TAMSA_BENCH_BUS_BLOCK_H
#define TAMSA_BENCH_BUS_BLOCK_H

#include <cstddef>
#include <cstdint>

#include "tamsa/tamsa.h"

struct Block {
    explicit Block(size_t size) : data(static_cast<uint8_t *>(PPCAllocVec(uint32_t(size), 0))) {
        for (size_t i = 0; i < size; ++i) data[i] = uint8_t(i * 2654435761u >> 13);
    }
    ~Block() { PPCFreeVec(data); }
    Block(const Block &) = delete;
    Block &operator=(const Block &) = delete;
    uint8_t *data;
};

#endif
