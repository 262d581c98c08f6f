#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "gfx/remap_row.h"
#include "support.h"

namespace {

using tamsa_test::BitmapPtr;
using tamsa_test::BusBuffer;
using tamsa_test::LeakCheck;
using tamsa_test::random_bitmap;
using tamsa_test::Rng;

// The cube level of a channel value, from the table of value ranges.
uint32_t level_of(uint8_t value) {
    const uint8_t first_of_level[] = {64, 106, 148, 190, 232};
    uint32_t level = 0;
    for (uint8_t first : first_of_level) level += value >= first;
    return level;
}

std::vector<uint8_t> reference_remap24(const uint8_t *rgb, uint32_t count, const uint8_t *pens) {
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i + 3 <= count; i += 3) {
        const uint32_t index =
            level_of(rgb[i]) * 36 + level_of(rgb[i + 1]) * 6 + level_of(rgb[i + 2]);
        out.push_back(pens != nullptr ? pens[index] : uint8_t(index));
    }
    return out;
}

// Every remap test runs with the plain kernel and with the fast one.
class Remap : public LeakCheck, public ::testing::WithParamInterface<bool> {
   protected:
    void SetUp() override {
        LeakCheck::SetUp();
        tamsa::use_plain_kernels(GetParam());
    }
    void TearDown() override {
        tamsa::use_plain_kernels(false);
        LeakCheck::TearDown();
    }
};
INSTANTIATE_TEST_SUITE_P(Kernels, Remap, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Plain" : "Fast"; });

// A 216-byte pen table in an exact-size block, pens distinct from their indexes.
BitmapPtr pen_table() {
    BitmapPtr table(kv_allocrawbitmap(216, 1, 1));
    for (int i = 0; i < 216; ++i) table->data[i] = uint8_t(255 - i);
    return table;
}

TEST_P(Remap, LevelsChangeAtEachBoundary) {
    const std::pair<uint8_t, uint8_t> value_level[] = {{0, 0},   {63, 0},  {64, 1},  {105, 1},
                                                       {106, 2}, {147, 2}, {148, 3}, {189, 3},
                                                       {190, 4}, {231, 4}, {232, 5}, {255, 5}};
    for (auto [value, level] : value_level) {
        SCOPED_TRACE("value " + std::to_string(value));
        const uint8_t rgb[9] = {value, 0, 0, 0, value, 0, 0, 0, value};
        uint8_t out[3] = {};
        kv_remap24(rgb, out, nullptr, 9);
        EXPECT_EQ(out[0], level * 36);
        EXPECT_EQ(out[1], level * 6);
        EXPECT_EQ(out[2], level);
    }
}

TEST_P(Remap, Remap24ExamplesWithAndWithoutATable) {
    BitmapPtr rgb(kv_allocrawbitmap(4, 1, 3));
    const uint8_t pixels[12] = {255, 255, 255, 0, 0, 0, 63, 64, 232, 100, 200, 150};
    std::memcpy(rgb->data, pixels, 12);
    {
        BusBuffer out(4, 0xcc);
        kv_remap24(rgb->data, out.data(), nullptr, 12);
        EXPECT_EQ(out.bytes(), (std::vector<uint8_t>{215, 0, 11, 63}));
    }
    BitmapPtr pens = pen_table();
    BusBuffer out(4, 0xcc);
    kv_remap24(rgb->data, out.data(), pens->data, 12);
    EXPECT_EQ(out.bytes(), (std::vector<uint8_t>{255 - 215, 255, 255 - 11, 255 - 63}));
}

TEST_P(Remap, Remap24MatchesTheRuleOnRandomRuns) {
    BitmapPtr pens = pen_table();
    for (uint64_t seed = 1; seed <= 60; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Rng rng(seed);
        const uint32_t count = rng.below(400);  // remainders 0, 1 and 2 all occur
        BitmapPtr rgb = random_bitmap(int32_t(count), 1, 1, seed);
        const std::vector<uint8_t> before(rgb->data, rgb->data + count);
        const uint8_t *table = seed % 2 ? pens->data : nullptr;
        const auto expected = reference_remap24(rgb->data, count, table);
        BusBuffer out(uint32_t(expected.size()), 0xcc);
        kv_remap24(rgb->data, out.data(), table, count);
        EXPECT_EQ(out.bytes(), expected);
        EXPECT_EQ(std::vector<uint8_t>(rgb->data, rgb->data + count), before);
    }
}

TEST_P(Remap, Remap24InPlace) {
    for (uint32_t count : {0u, 3u, 4u, 300u, 301u, 302u, 3 * 777u}) {
        SCOPED_TRACE("count " + std::to_string(count));
        BitmapPtr rgb = random_bitmap(int32_t(count), 1, 1, count);
        const std::vector<uint8_t> before(rgb->data, rgb->data + count);
        const auto expected = reference_remap24(before.data(), count, nullptr);
        kv_remap24(rgb->data, rgb->data, nullptr, count);
        EXPECT_EQ(std::vector<uint8_t>(rgb->data, rgb->data + expected.size()), expected);
        EXPECT_EQ(std::vector<uint8_t>(rgb->data + expected.size(), rgb->data + count),
                  std::vector<uint8_t>(before.begin() + long(expected.size()), before.end()))
            << "only one byte per pixel is written";
    }
}

TEST_P(Remap, Remap24LeavesATrailingPartialPixelUnread) {
    // Exact-size blocks: a read of the missing bytes of the last pixel, or a write of a fourth
    // output byte, runs off the block.
    for (uint32_t count : {1u, 2u, 10u, 11u}) {
        BitmapPtr rgb = random_bitmap(int32_t(count), 1, 1, count);
        BusBuffer out(count / 3, 0xcc);
        kv_remap24(rgb->data, out.data(), nullptr, count);
        EXPECT_EQ(out.bytes(), reference_remap24(rgb->data, count, nullptr));
    }
}

TEST_P(Remap, Remap8TranslatesEveryByte) {
    BitmapPtr identity(kv_allocrawbitmap(256, 1, 1));
    BitmapPtr inverse(kv_allocrawbitmap(256, 1, 1));
    for (int v = 0; v < 256; ++v) {
        identity->data[v] = uint8_t(v);
        inverse->data[v] = uint8_t(255 - v);
    }
    BitmapPtr run = random_bitmap(1001, 1, 1, 5);
    const std::vector<uint8_t> before(run->data, run->data + 1001);
    kv_remap8(run->data, identity->data, 1001);
    EXPECT_EQ(std::vector<uint8_t>(run->data, run->data + 1001), before);

    kv_remap8(run->data, inverse->data, 1000);
    std::vector<uint8_t> xored = before;
    kv_xor(xored.data(), 1000, 255);
    EXPECT_EQ(std::vector<uint8_t>(run->data, run->data + 1001), xored);
    EXPECT_EQ(run->data[1000], before[1000]) << "the byte past count is not touched";
}

TEST_P(Remap, CountZeroTouchesNothing) {
    BusBuffer buffer(8, 0x5a);
    const uint8_t table[256] = {};
    kv_remap24(buffer.data(), buffer.data(), nullptr, 0);
    kv_remap8(buffer.data(), table, 0);
    kv_xor(buffer.data(), 0, 0xff);
    kv_multchunky(table, buffer.data(), 0, 3);
    kv_divchunky(table, buffer.data(), 0, 1);
    EXPECT_EQ(buffer.bytes(), std::vector<uint8_t>(8, 0x5a));
}

class ByteRuns : public LeakCheck {};

TEST_F(ByteRuns, XorUsesTheLowByteOfTheValue) {
    const std::pair<int32_t, uint8_t> value_mask[] = {{0xff, 0xff},  {0x1ff, 0xff}, {-1, 0xff},
                                                      {0x100, 0x00}, {0x5a, 0x5a},  {INT32_MIN, 0}};
    for (auto [value, mask] : value_mask) {
        BusBuffer buffer(5, 0x3c);
        kv_xor(buffer.data(), 5, value);
        EXPECT_EQ(buffer.bytes(), std::vector<uint8_t>(5, uint8_t(0x3c ^ mask))) << value;
    }
}

TEST_F(ByteRuns, MultchunkyRepeatsEachByte) {
    const uint8_t source[] = {1, 2};
    BusBuffer out(6, 0xcc);
    kv_multchunky(source, out.data(), 2, 3);
    EXPECT_EQ(out.bytes(), (std::vector<uint8_t>{1, 1, 1, 2, 2, 2}));

    BusBuffer none(4, 0xcc);
    kv_multchunky(source, none.data(), 2, 0);
    EXPECT_EQ(none.bytes(), std::vector<uint8_t>(4, 0xcc)) << "a factor of 0 writes nothing";

    BusBuffer copy(2, 0xcc);
    kv_multchunky(source, copy.data(), 2, 1);
    EXPECT_EQ(copy.bytes(), (std::vector<uint8_t>{1, 2}));
}

TEST_F(ByteRuns, DivchunkyTakesEveryStepthByteFromTheFirst) {
    const uint8_t source[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    const struct {
        uint32_t step;
        std::vector<uint8_t> expected;
    } cases[] = {
        {4, {0, 4, 8}},    {1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {3, {0, 3, 6, 9}}, {9, {0, 9}},
        {10, {0}},         {0xffffffffu, {0}},
        {0, {}},  // would never finish: writes nothing
    };
    for (const auto &c : cases) {
        BusBuffer out(uint32_t(c.expected.size()), 0xcc);
        kv_divchunky(source, out.data(), 10, c.step);
        EXPECT_EQ(out.bytes(), c.expected) << "step " << c.step;
    }
}

TEST_F(ByteRuns, DivchunkyEndsWhereA32BitIndexWouldWrap) {
    // A run of 4 GiB - 1 bytes, reserved but never touched except where it is read. With a
    // step past half of it, a 32-bit index wraps back below count after two bytes.
    const size_t length = size_t(1) << 32;
    void *map = mmap(nullptr, length, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (map == MAP_FAILED) GTEST_SKIP() << "cannot reserve 4 GiB of address space";
    auto *source = static_cast<uint8_t *>(map);
    const uint32_t step = 0x80000001u;
    source[0] = 7;
    source[step] = 9;
    BusBuffer out(2, 0xcc);
    kv_divchunky(source, out.data(), 0xffffffffu, step);
    EXPECT_EQ(out.bytes(), (std::vector<uint8_t>{7, 9}));
    munmap(map, length);
}

}  // namespace

// ---- the kernels against the rules ----

class RemapKernels : public LeakCheck {};

// n random bytes in a block of exactly shift + n bytes, returned from byte shift on: the run is
// misaligned by shift and ends where its block ends, so that a read past it is caught.
struct run_block {
    run_block(uint32_t n, uint32_t shift, uint64_t seed)
        : block(random_bitmap(int32_t(n + shift + (n + shift == 0)), 1, 1, seed)),
          data(block->data + shift) {}
    BitmapPtr block;
    uint8_t *data;
};

// The byte table in place, the cube with and without pens (apart and in place), xor, repeat,
// thin and the exchange of pixels' first and third bytes (apart and in place): every kernel at
// every length to a few hundred bytes, misaligned by 0 to 63 bytes, ending where their blocks end,
// against the rules written out here.
TEST_F(RemapKernels, AgreeWithTheRulesAtEveryLengthAndAlignment) {
    BitmapPtr pens = pen_table();
    for (uint64_t iteration = 0; iteration < 400; ++iteration) {
        SCOPED_TRACE("iteration " + std::to_string(iteration));
        Rng rng(iteration + 77);
        const uint32_t n = iteration < 80 ? uint32_t(iteration) : rng.below(700);
        const uint32_t shift[2] = {rng.below(64), rng.below(64)};
        const run_block source(n, shift[0], iteration);
        const std::vector<uint8_t> before(source.data, source.data + n);
        run_block table(256, shift[1], iteration + 1);
        const uint8_t mask = rng.byte();
        const uint32_t factor = 1 + rng.below(4), step = 1 + rng.below(4);
        const uint8_t *pen_run = iteration % 2 ? pens->data : nullptr;
        const auto cube = reference_remap24(before.data(), n, pen_run);

        tamsa_test::each_kernel([&] {
            std::copy(before.begin(), before.end(), source.data);
            kv_remap8(source.data, table.data, n);
            for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(source.data[i], table.data[before[i]]) << i;

            std::copy(before.begin(), before.end(), source.data);
            kv_xor(source.data, n, mask);
            for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(source.data[i], before[i] ^ mask) << i;

            std::copy(before.begin(), before.end(), source.data);
            BusBuffer out(uint32_t(cube.size()) + shift[1], 0x5a);
            kv_remap24(source.data, out.data() + shift[1], pen_run, n);
            ASSERT_EQ(std::vector<uint8_t>(out.data() + shift[1], out.data() + out.size()), cube);
            for (uint32_t i = 0; i < shift[1]; ++i) ASSERT_EQ(out[i], 0x5a) << "before the run";
            kv_remap24(source.data, source.data, pen_run, n);  // onto itself
            ASSERT_EQ(std::vector<uint8_t>(source.data, source.data + cube.size()), cube);

            std::copy(before.begin(), before.end(), source.data);
            BusBuffer repeated(n * factor, 0x5a);
            kv_multchunky(source.data, repeated.data(), n, factor);
            for (uint32_t i = 0; i < n * factor; ++i) ASSERT_EQ(repeated[i], before[i / factor]);

            BusBuffer thinned((n + step - 1) / step, 0x5a);
            kv_divchunky(source.data, thinned.data(), n, step);
            for (uint32_t j = 0; j < thinned.size(); ++j) ASSERT_EQ(thinned[j], before[j * step]);
            kv_divchunky(source.data, source.data, n, step);  // onto itself
            for (uint32_t j = 0; j < thinned.size(); ++j)
                ASSERT_EQ(source.data[j], before[j * step]);

            // Whole pixels of the run with their first and third bytes exchanged.
            const uint32_t pixels = n / 3;
            std::vector<uint8_t> swapped(before.begin(), before.begin() + pixels * 3);
            for (uint32_t i = 0; i < pixels * 3; i += 3) std::swap(swapped[i], swapped[i + 2]);
            std::copy(before.begin(), before.end(), source.data);
            BusBuffer apart(pixels * 3 + shift[1], 0x5a);
            tamsa::gfx::swap13(source.data, apart.data() + shift[1], pixels);
            ASSERT_EQ(std::vector<uint8_t>(apart.data() + shift[1], apart.data() + apart.size()),
                      swapped);
            for (uint32_t i = 0; i < shift[1]; ++i) ASSERT_EQ(apart[i], 0x5a) << "before the run";
            tamsa::gfx::swap13(source.data, source.data, pixels);  // in place
            ASSERT_EQ(std::vector<uint8_t>(source.data, source.data + pixels * 3), swapped);
            ASSERT_EQ(std::vector<uint8_t>(source.data + pixels * 3, source.data + n),
                      std::vector<uint8_t>(before.begin() + pixels * 3, before.end()));

            // The same pixels widened to 4 bytes, the fourth 0, and nothing written past them.
            BusBuffer padded(pixels * 4 + shift[1] + 8, 0x5a);
            tamsa::gfx::pad4(before.data(), padded.data() + shift[1], pixels);
            for (uint32_t i = 0; i < padded.size(); ++i) {
                const uint32_t at = i - shift[1];
                const uint8_t want = i < shift[1] || at >= pixels * 4 ? 0x5a
                                     : at % 4 == 3                    ? 0
                                                                      : before[at / 4 * 3 + at % 4];
                ASSERT_EQ(padded[i], want) << "byte " << i;
            }
        });
    }
}

// Where a run meets what it is translated by, the rule's order decides: a table or pens inside
// the destination are read as the run has rewritten them so far, and a shifted destination sees
// the bytes it has written.
TEST_F(RemapKernels, OverlapsKeepTheRulesOrder) {
    for (uint32_t n : {64u, 300u, 1000u}) {
        SCOPED_TRACE("length " + std::to_string(n));
        std::vector<uint8_t> results[2];
        for (bool plain : {true, false}) {
            BitmapPtr run = random_bitmap(int32_t(5 * n + 600), 1, 1, n);
            uint8_t *b = run->data;
            tamsa::use_plain_kernels(plain);
            kv_remap8(b, b + 100, n);                          // the table lies in the run
            kv_remap24(b + n + 16, b, b + 40, 3 * n);          // the pens lie in the destination
            kv_remap24(b + 2 * n, b + 2 * n + 5, nullptr, n);  // shifted forward
            kv_divchunky(b + 1, b, n, 2);                      // thinned one byte down
            results[plain] = tamsa_test::pixels(*run);
        }
        EXPECT_EQ(results[0], results[1]);
    }
}

// Levels and pens replaced by arithmetic and permutes: the level arithmetic and the halved
// values on every byte, then every colour of the cube's input, with and without pens, on every
// kernel.
TEST_F(RemapKernels, CubeIndexOfEveryColour) {
    for (uint32_t v = 0; v < 256; ++v) {
        ASSERT_EQ(tamsa::gfx::cube_level_arithmetic(v), level_of(uint8_t(v))) << v;
        // The permute kernel looks levels up by the value halved.
        ASSERT_EQ(level_of(uint8_t(v)), level_of(uint8_t(v & ~1u))) << v;
    }
    const uint32_t colours = 1u << 24;
    BitmapPtr rgb(kv_allocrawbitmap(int32_t(colours), 1, 3));
    for (uint32_t c = 0; c < colours; ++c) {
        rgb->data[3 * c] = uint8_t(c >> 16);
        rgb->data[3 * c + 1] = uint8_t(c >> 8);
        rgb->data[3 * c + 2] = uint8_t(c);
    }
    BitmapPtr pens = pen_table();
    BitmapPtr out(kv_allocrawbitmap(int32_t(colours), 1, 1));
    std::vector<uint8_t> index(colours);
    for (uint32_t c = 0; c < colours; ++c) {
        index[c] = uint8_t(level_of(uint8_t(c >> 16)) * 36 + level_of(uint8_t(c >> 8)) * 6 +
                           level_of(uint8_t(c)));
    }
    tamsa_test::each_kernel([&] {
        kv_remap24(rgb->data, out->data, nullptr, 3 * colours);
        ASSERT_TRUE(std::memcmp(out->data, index.data(), colours) == 0);
        kv_remap24(rgb->data, out->data, pens->data, 3 * colours);
        for (uint32_t c = 0; c < colours; ++c) ASSERT_EQ(out->data[c], pens->data[index[c]]) << c;
    });
}

// A count and factor whose product leaves 32 bits describe no destination: nothing is written.
// One byte less is a destination of 4 GiB - 1 bytes, written in full: its address range is one
// 16 MiB block mapped over and over, so the writes cost little memory, except for its last
// 16 MiB and the page after them, which are memory of their own and show where the run ends.
TEST_F(ByteRuns, MultchunkyWritesNothingWhenTheProductLeaves32Bits) {
    const uint8_t source[3] = {7, 8, 9};
    BusBuffer out(64, 0x5a);
    kv_multchunky(source, out.data(), 2, 0x80000000u);
    kv_multchunky(source, out.data(), 3, 0x80000000u);
    kv_multchunky(source, out.data(), 0xffffffffu, 0xffffffffu);
    EXPECT_EQ(out.bytes(), std::vector<uint8_t>(64, 0x5a));

    constexpr size_t kAlias = size_t(16) << 20, kRange = size_t(1) << 32, kPage = 4096;
    const int fd = memfd_create("alias", 0);
    void *map = mmap(nullptr, kRange + kPage, PROT_NONE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (fd < 0 || map == MAP_FAILED || ftruncate(fd, kAlias) != 0) {
        GTEST_SKIP() << "cannot map 4 GiB of address space";
    }
    auto *destination = static_cast<uint8_t *>(map);
    for (size_t at = 0; at + kAlias < kRange; at += kAlias) {
        ASSERT_NE(mmap(destination + at, kAlias, PROT_READ | PROT_WRITE,
                       MAP_SHARED | MAP_FIXED | MAP_POPULATE, fd, 0),
                  MAP_FAILED);
    }
    ASSERT_NE(mmap(destination + kRange - kAlias, kAlias + kPage, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0),
              MAP_FAILED);
    kv_multchunky(source, destination, 3, 0x55555555u);  // 3 * 0x55555555 = 2^32 - 1
    EXPECT_EQ(destination[0], 9) << "each alias shows the last bytes written through it";
    EXPECT_EQ(destination[kRange - kAlias], 9);
    EXPECT_EQ(destination[kRange - 2], 9);
    EXPECT_EQ(destination[kRange - 1], 0) << "nothing past count * factor";
    EXPECT_EQ(destination[kRange], 0);
    munmap(map, kRange + kPage);
    close(fd);
}
