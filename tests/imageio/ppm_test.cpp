#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "imageio/ppm.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;
using tamsa_test::BitmapPtr;
using tamsa_test::LeakCheck;
using tamsa_test::pixels;
using tamsa_test::random_bitmap;
using tamsa_test::snapshot;
using tamsa_test::sweep_alloc_failures;

size_t open_files() {
    return size_t(std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
}

// Each test works in a directory of its own, removed afterwards.
class Ppm : public LeakCheck {
   protected:
    void SetUp() override {
        LeakCheck::SetUp();
        std::string pattern = (fs::temp_directory_path() / "tamsa-ppm-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        fs::remove_all(dir_);
        LeakCheck::TearDown();
    }
    std::string path(const char *name) const { return (dir_ / name).string(); }
    std::string write(const std::string &bytes) const {
        const std::string p = path("in.ppm");
        std::ofstream(p, std::ios::binary) << bytes;
        return p;
    }
    std::string read(const std::string &p) const {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    fs::path dir_;
};

std::string six_bytes() {
    return std::string("\x01\x02\x03\xfd\xfe\xff", 6);
}

// Over a longer file too (the saver writes over a file and cuts it, rather than emptying it
// first): nothing of the old file is left after the new one.
TEST_F(Ppm, SavesTheSeventeenByteForm) {
    BitmapPtr b(kv_allocbitmap(2, 1, 3));
    std::memcpy(b->data, six_bytes().data(), 6);
    ASSERT_EQ(kv_savebitmapasppm(b.get(), path("a.ppm").c_str()), 1);
    EXPECT_EQ(read(path("a.ppm")), "P6\n2 1\n255\n" + six_bytes());
    std::ofstream(path("b.ppm"), std::ios::binary) << std::string(4000, 'x');
    ASSERT_EQ(kv_savebitmapasppm(b.get(), path("b.ppm").c_str()), 1);
    EXPECT_EQ(read(path("b.ppm")), "P6\n2 1\n255\n" + six_bytes());
    BitmapPtr grey(kv_allocbitmap(1, 1, 1));
    grey->data[0] = 7;
    ASSERT_EQ(kv_savebitmapasppm(grey.get(), path("b.ppm").c_str()), 1);
    EXPECT_EQ(read(path("b.ppm")), std::string("P6\n1 1\n255\n\x07\x07\x07"));
}

TEST_F(Ppm, RoundTrips) {
    for (const auto &[w, h] : {std::pair{1, 1}, std::pair{37, 19}, std::pair{640, 3}}) {
        BitmapPtr b = random_bitmap(w, h, 3, uint64_t(w));
        ASSERT_EQ(kv_savebitmapasppm(b.get(), path("r.ppm").c_str()), 1);
        BitmapPtr back(kv_loadppmasbitmap(path("r.ppm").c_str()));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->width, w);
        EXPECT_EQ(back->height, h);
        EXPECT_EQ(back->bytesperpixel, 3);
        EXPECT_EQ(pixels(*back), pixels(*b));
    }
}

TEST_F(Ppm, GreyBitmapsAreWrittenAsGreyTriplets) {
    BitmapPtr b = random_bitmap(17000, 2, 1, 8);  // more than one block of triplets
    ASSERT_EQ(kv_savebitmapasppm(b.get(), path("g.ppm").c_str()), 1);
    EXPECT_EQ(fs::file_size(path("g.ppm")), std::strlen("P6\n17000 2\n255\n") + 102000);
    BitmapPtr back(kv_loadppmasbitmap(path("g.ppm").c_str()));
    ASSERT_NE(back, nullptr);
    for (int i = 0; i < 34000; ++i) {
        for (int k = 0; k < 3; ++k) ASSERT_EQ(back->data[i * 3 + k], b->data[i]) << i;
    }
}

// An empty bitmap is saved with its 0 and loads back as the same empty bitmap; a failed
// allocation on the way back leaves nothing allocated.
TEST_F(Ppm, EmptyBitmapsRoundTrip) {
    for (const auto &[w, h] : {std::pair{0, 5}, std::pair{5, 0}, std::pair{0, 0}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        BitmapPtr b(kv_allocbitmap(w, h, 3));
        const std::string p = path("e.ppm");
        ASSERT_EQ(kv_savebitmapasppm(b.get(), p.c_str()), 1);
        EXPECT_EQ(read(p), "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n");
        EXPECT_EQ(sweep_alloc_failures([&] {
                      BitmapPtr back(kv_loadppmasbitmap(p.c_str()));
                      if (back == nullptr) return false;
                      EXPECT_EQ(back->width, w);
                      EXPECT_EQ(back->height, h);
                      EXPECT_EQ(back->bytesperpixel, 3);
                      return true;
                  }),
                  2u);
    }
}

TEST_F(Ppm, SaveFailures) {
    BitmapPtr b = random_bitmap(2, 2, 3, 1);
    EXPECT_EQ(kv_savebitmapasppm(b.get(), path("no/such/dir.ppm").c_str()), 0);
    EXPECT_EQ(kv_savebitmapasppm(b.get(), "/dev/full"), 0) << "a failed write is a failure";
    EXPECT_EQ(kv_savebitmapasppm(b.get(), nullptr), 0);
    kv_bitmap bad{b->data, 2, 2, 2};
    EXPECT_EQ(kv_savebitmapasppm(&bad, path("bad.ppm").c_str()), 0);
    EXPECT_EQ(kv_savebitmapasppm(nullptr, path("bad.ppm").c_str()), 0);
    EXPECT_FALSE(fs::exists(path("bad.ppm"))) << "a record that is not saved makes no file";
}

struct load_case {
    const char *what;
    std::string bytes;
    int32_t width, height;  // -1: rejected
};

void PrintTo(const load_case &c, std::ostream *os) {
    *os << c.what;
}

class PpmLoad : public Ppm, public ::testing::WithParamInterface<load_case> {};

TEST_P(PpmLoad, ReadsOnlyWhatTheHeaderAndFileBack) {
    const load_case t = GetParam();
    const std::string p = write(t.bytes);
    const size_t files = open_files();
    tamsa_alloc_fail_nth(1000);
    BitmapPtr b(kv_loadppmasbitmap(p.c_str()));
    const uint32_t left = tamsa_alloc_fail_nth(0);
    EXPECT_EQ(open_files(), files) << "the file is closed";
    if (t.width < 0) {
        EXPECT_EQ(b, nullptr);
        EXPECT_EQ(left, 1000u) << "nothing is allocated for a header the file cannot back";
        return;
    }
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->width, t.width);
    EXPECT_EQ(b->height, t.height);
    const size_t n = size_t(t.width) * size_t(t.height) * 3;
    const size_t header = t.bytes.size() - n - (t.what == std::string("surplus") ? 5 : 0);
    EXPECT_EQ(pixels(*b), std::vector<uint8_t>(t.bytes.begin() + long(header),
                                               t.bytes.begin() + long(header + n)));
}

const std::string kPixels12x56(12 * 56 * 3, '\x7b');
INSTANTIATE_TEST_SUITE_P(
    Files, PpmLoad,
    ::testing::Values(
        load_case{"plain", "P6\n2 1\n255\n" + six_bytes(), 2, 1},
        load_case{"surplus", "P6\n2 1\n255\n" + six_bytes() + "extra", 2, 1},
        load_case{"three numbers", "P6\n12 34 56\n255\n" + kPixels12x56, 12, 56},
        load_case{"low maxval", "X6\n640 1\n15\n" + std::string(1920, '\x0f'), 640, 1},
        load_case{"P5", "P5\n2 1\n255\n" + six_bytes(), -1, -1},
        load_case{"short", "P6\n2 1\n255\n" + six_bytes().substr(1), -1, -1},
        load_case{"empty", "", -1, -1}, load_case{"magic only", "P6\n", -1, -1},
        load_case{"no space", "P6\n21\n255\n" + six_bytes(), -1, -1},
        load_case{"zero height", "P6\n5 0\n255\n", 5, 0},
        // lines read as a stream reads them: 9 characters of the first line
        load_case{"long magic line", "P6\t\t\t\t\t\t2 1\n255\n" + six_bytes(), -1, -1},
        // and each line filling its room: 66 bytes of header
        load_case{"long lines",
                  "P6\t\t\t\t\t\t\n" + std::string(44, ' ') + "2 1\n255\t\t\t\t\t\n" + six_bytes(),
                  2, 1},
        load_case{"zero width", "P6\n0 1\n255\n", 0, 1},
        load_case{"negative", "P6\n-2 -1\n255\n" + six_bytes(), -1, -1},
        load_case{"no digits", "P6\nab cd\n255\n" + six_bytes(), -1, -1},
        load_case{"31 bits", "P6\n32768 32768\n255\n", -1, -1},
        load_case{"wraps 32 bits", "P6\n65536 65536\n255\n", -1, -1},
        load_case{"beyond long", "P6\n99999999999999999999 1\n255\n", -1, -1},
        load_case{"beyond int", "P6\n4294967298 1\n255\n" + six_bytes(), -1, -1},
        load_case{"no maxval", "P6\n2 1\n", -1, -1}, load_case{"cut size line", "P6\n2 1", -1, -1},
        load_case{"huge and short", "P6\n20000 20000\n255\n" + six_bytes(), -1, -1}),
    [](const auto &info) {
        std::string name = info.param.what;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST_F(Ppm, MissingFileAndAllocationFailures) {
    EXPECT_EQ(kv_loadppmasbitmap(path("missing.ppm").c_str()), nullptr);
    EXPECT_EQ(kv_loadppmasbitmap(nullptr), nullptr);
    const std::string p = write("P6\n2 1\n255\n" + six_bytes());
    const size_t files = open_files();
    EXPECT_EQ(sweep_alloc_failures([&] {
                  BitmapPtr b(kv_loadppmasbitmap(p.c_str()));
                  return b != nullptr;
              }),
              2u);
    EXPECT_EQ(open_files(), files);
}

struct string_case {
    const char *op;
    const char *in;
    int32_t arg;
    const char *out;
};

class PpmStrings : public LeakCheck, public ::testing::WithParamInterface<string_case> {};

const std::string kLong(100, 'x');
TEST_P(PpmStrings, LeftAndRight) {
    const string_case t = GetParam();
    const char *got = t.op[0] == 'l' ? tamsa::left(t.in, t.arg) : tamsa::right(t.in, t.arg);
    EXPECT_STREQ(got, t.out);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, PpmStrings,
    ::testing::Values(string_case{"left", "abc", 2, "ab"}, string_case{"left", "abc", 0, ""},
                      string_case{"left", "abc", -3, ""}, string_case{"left", "abc", 9, "abc"},
                      string_case{"left", kLong.c_str(), 90, kLong.c_str() + 21},
                      string_case{"right", "abcdef", 4, "ef"}, string_case{"right", "abc", 5, ""},
                      string_case{"right", "abc", 3, ""}, string_case{"right", "abc", -2, "abc"},
                      string_case{"right", kLong.c_str(), 1, kLong.c_str() + 21}));

TEST_F(Ppm, InstrFindsTheLastMatch) {
    EXPECT_EQ(tamsa::instr("a b c", ' '), 3);
    EXPECT_EQ(tamsa::instr("abc", ' '), -1);
    EXPECT_EQ(tamsa::instr("", 'a'), -1);
    EXPECT_EQ(tamsa::instr("\xc8x", 200), -1) << "a character above 127 never matches";
    EXPECT_EQ(tamsa::instr("\xc8x\xc8", -56), 2);
    // Both helpers keep their own buffer: a later call of one leaves the other's result.
    const char *l = tamsa::left("left", 4);
    tamsa::right("right", 0);
    EXPECT_STREQ(l, "left");
}

}  // namespace
