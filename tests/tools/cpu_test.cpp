// TAMSA_CPU as a user sets it: the real command started with the variable set, so that its
// library reads the setting before it picks a kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "shell_run.h"
#include "tamsa/tamsa.h"
#include "temp_dir.h"

namespace {

using tamsa_test::run_result;
using tamsa_test::TempDir;

// Runs "tamsa WORDS" with TAMSA_CPU set to setting (unset when null).
run_result run(const TempDir &dir, const char *setting, const std::string &words) {
    const std::string env =
        setting == nullptr ? "env -u TAMSA_CPU " : "env TAMSA_CPU='" + std::string(setting) + "' ";
    return tamsa_test::run_shell(dir, env + TAMSA_COMMAND " " + words + " </dev/null");
}

std::vector<std::string> offered() {
    std::istringstream in(tamsa_cpu_levels());
    std::vector<std::string> names;
    for (std::string name; in >> name;) names.push_back(name);
    return names;
}

std::string kernels_line(const std::string &level, bool honoured) {
    return "kernels: " + level + (honoured ? ", as TAMSA_CPU says" : "") + " (this CPU offers " +
           tamsa_cpu_levels() + ")\n";
}

size_t count(const std::string &text, const std::string &word) {
    size_t n = 0;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++n;
    return n;
}

TEST(CpuSetting, OffersPlainFirstAndRunsTheBestUnasked) {
    const std::vector<std::string> names = offered();
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), "plain");
    TempDir dir;
    for (const char *setting : {static_cast<const char *>(nullptr), ""}) {
        const run_result r = run(dir, setting, "--version");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find(kernels_line(names.back(), false)), std::string::npos) << r.out;
    }
}

TEST(CpuSetting, HoldsTheKernelsToEveryOfferedLevel) {
    TempDir dir;
    for (const std::string &name : offered()) {
        for (const std::string &spelled :
             {name, std::string(1, char(std::toupper(name[0]))) + name.substr(1)}) {
            SCOPED_TRACE(spelled);
            const run_result r = run(dir, spelled.c_str(), "--version");
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_NE(r.out.find(kernels_line(name, true)), std::string::npos) << r.out;
        }
    }
}

// A name the library does not know, and a level this CPU lacks (there is always one: the other
// architecture's), run the best level, with one warning per run.
TEST(CpuSetting, WarnsOnceOfANameItCannotFollow) {
    const std::vector<std::string> names = offered();
    std::string lacking;
    for (const char *level : {"avx512vbmi", "avx512", "avx2", "sse4", "sve2", "sve", "neon"}) {
        if (std::find(names.begin(), names.end(), level) == names.end()) {
            lacking = level;
            break;
        }
    }
    ASSERT_NE(lacking, "");
    TempDir dir;
    for (const std::string &setting : {std::string("avx3"), lacking}) {
        SCOPED_TRACE(setting);
        const std::string warning = "warning: TAMSA_CPU=" + setting + " names no level";
        run_result r = run(dir, setting.c_str(), "--version");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err.rfind("tamsa: " + warning, 0), 0u) << r.err;
        EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
        EXPECT_NE(r.err.find("the kernels run at " + names.back() + "\n"), std::string::npos);
        EXPECT_NE(r.out.find(kernels_line(names.back(), false)), std::string::npos) << r.out;

        r = run(dir, setting.c_str(), "record --frames 3 --no-output");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(count(r.err, "TAMSA_CPU"), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("tamsa record: " + warning, 0), 0u) << r.err;

        r = run(dir, setting.c_str(), "record --frames 1 --no-output -q");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

// The frames of the built-in clip come out the same at every level.
TEST(CpuSetting, EveryLevelGivesTheSameFrames) {
    TempDir dir;
    const run_result plain = run(dir, "plain", "record --frames 2 --out - -q");
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_GT(plain.out.size(), 640u * 480 * 3);
    for (const std::string &name : offered()) {
        SCOPED_TRACE(name);
        const run_result r = run(dir, name.c_str(), "record --frames 2 --out - -q");
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.out == plain.out);
    }
}

// Highway's shared library (1.0) measures its timer's resolution as it is loaded, milliseconds
// of every start-up; the command's own definition answers that call. The dynamic linker's
// account of its bindings shows which definition each call reached.
TEST(CpuSetting, StartsWithoutHighwaysTimerMeasurement) {
#if !TAMSA_SIMD
    // Without the vector kernels the command does not link Highway itself, and a library that
    // loads it for its own use (libavcodec's JPEG XL) keeps its measurement.
    GTEST_SKIP() << "a build without the vector kernels";
#endif
    TempDir dir;
    const std::string command = "cd '" + dir.path().string() +
                                "' && env -u TAMSA_CPU LD_DEBUG=bindings " TAMSA_COMMAND
                                " --version </dev/null >.stdout 2>.stderr";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string out = TempDir::read(dir.file(".stdout"));
    EXPECT_NE(out.find(kernels_line(offered().back(), false)), std::string::npos) << out;
    std::istringstream err(TempDir::read(dir.file(".stderr")));
    for (std::string line; std::getline(err, line);) {
        if (line.find("TimerResolution") == std::string::npos) continue;
        // The program itself, by its own name (an emulated run starts it through a script).
        const size_t to = line.find(" to ");
        ASSERT_NE(to, std::string::npos) << line;
        EXPECT_NE(line.find("/tamsa [", to), std::string::npos) << line;
        EXPECT_EQ(line.find("libhwy", to), std::string::npos) << line;
    }
}

// The library reads the setting once: a later change of the environment changes nothing.
TEST(CpuSetting, IsReadOnce) {
    const std::string level = tamsa_cpu_level();
    const int32_t setting = tamsa_cpu_setting();
    const char *old = std::getenv("TAMSA_CPU");
    const std::string kept = old != nullptr ? old : "";
    setenv("TAMSA_CPU", level == "plain" ? "avx3" : "plain", 1);
    EXPECT_EQ(tamsa_cpu_level(), level);
    EXPECT_EQ(tamsa_cpu_setting(), setting);
    if (old != nullptr) {
        setenv("TAMSA_CPU", kept.c_str(), 1);
    } else {
        unsetenv("TAMSA_CPU");
    }
}

}  // namespace
