// TAMSA_THREADS as a user sets it: the real command started with the variable set, reporting
// the number it runs on, warning once of a value it cannot follow, giving the same pictures at
// every number, and ending when done.
#include <gtest/gtest.h>

#include <string>

#include "shell_run.h"
#include "tamsa/tamsa.h"
#include "temp_dir.h"
#include "tools/pictures/picture.h"

namespace {

using tamsa_test::run_result;
using tamsa_test::TempDir;

// Runs "tamsa WORDS" with TAMSA_THREADS set to setting (unset when null).
run_result run(const TempDir &dir, const char *setting, const std::string &words) {
    const std::string env = setting == nullptr
                                ? "env -u TAMSA_THREADS "
                                : "env TAMSA_THREADS='" + std::string(setting) + "' ";
    return tamsa_test::run_shell(dir, env + TAMSA_COMMAND " " + words + " </dev/null");
}

size_t count(const std::string &text, const std::string &word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

// The machine's number, as the command reports it with the variable unset.
std::string machine_threads(const TempDir &dir) {
    const run_result r = run(dir, nullptr, "--version");
    const size_t at = r.out.find("threads: ");
    if (at == std::string::npos) return "";
    return r.out.substr(at + 9, r.out.find('\n', at) - at - 9);
}

TEST(ThreadsSetting, ReportsTheNumberItRunsOn) {
    TempDir dir;
    const std::string machine = machine_threads(dir);
    ASSERT_NE(machine, "");
    EXPECT_GE(std::stoi(machine), 1);
    for (const char *setting : {"1", "3", "256"}) {
        const run_result r = run(dir, setting, "--version");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("threads: " + std::string(setting) + ", as TAMSA_THREADS says\n"),
                  std::string::npos)
            << r.out;
    }
    const run_result empty = run(dir, "", "--version");
    EXPECT_EQ(empty.err, "");
    EXPECT_NE(empty.out.find("threads: " + machine + "\n"), std::string::npos) << empty.out;
}

TEST(ThreadsSetting, WarnsOnceOfAValueItCannotFollow) {
    TempDir dir;
    const std::string machine = machine_threads(dir);
    for (const std::string setting : {"0", "257", "-1", "two", "2x"}) {
        SCOPED_TRACE(setting);
        const std::string warning = "warning: TAMSA_THREADS=" + setting + " is no number";
        run_result r = run(dir, setting.c_str(), "--version");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.rfind("tamsa: " + warning, 0), 0u) << r.err;
        EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
        EXPECT_NE(r.out.find("threads: " + machine + "\n"), std::string::npos) << r.out;

        r = run(dir, setting.c_str(), "record --frames 2 --no-output");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(count(r.err, "TAMSA_THREADS"), 1u) << r.err;

        r = run(dir, setting.c_str(), "record --frames 1 --no-output -q");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

// A picture big enough to go in bands, and frames scaled up to one: the same bytes at one
// thread and at several, from commands that end when done.
TEST(ThreadsSetting, EveryNumberGivesTheSamePictures) {
    TempDir dir;
    tamsa::tools::picture p;
    p.width = 1201;
    p.height = 677;
    p.pixels.resize(size_t(p.width) * size_t(p.height) * 3);
    for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = uint8_t(i * 7 + i / 4099);
    tamsa::tools::save_picture(dir.file("in.ppm"), p);
    struct job {
        const char *name, *words;
    };
    for (const job &j :
         {job{"rotate", "image rotate in.ppm - 33"}, job{"smooth", "image smooth in.ppm - 2"},
          job{"transpose", "image transpose in.ppm -"},
          job{"record scaled up", "record --frames 2 --scale 1600x1200 --out - -q"}}) {
        SCOPED_TRACE(j.name);
        const run_result one = run(dir, "1", j.words);
        ASSERT_EQ(one.status, 0) << one.err;
        ASSERT_GT(one.out.size(), 1000u);
        for (const char *threads : {"2", "5"}) {
            const run_result r = run(dir, threads, j.words);
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_TRUE(r.out == one.out) << threads << " threads";
        }
    }
}

}  // namespace
