#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "support.h"
#include "temp_dir.h"
#include "tools/commands/cli.h"
#include "tools/commands/commands.h"
#include "tools/commands/image.h"
#include "tools/error_of.h"
#include "tools/fixtures.h"
#include "tools/pictures/picture.h"

namespace {

using tamsa::tools::picture;
using tamsa_test::TempDir;

picture pattern(int32_t w, int32_t h) {
    picture p;
    p.width = w;
    p.height = h;
    p.pixels.resize(size_t(w * h * 3));
    for (size_t i = 0; i < p.pixels.size(); ++i) p.pixels[i] = uint8_t(i * 13 + 5);
    return p;
}

// Runs the image command in this process; "" on success, else its one-line complaint.
std::string image(std::vector<std::string> words) {
    std::vector<char *> argv;
    for (auto &w : words) argv.push_back(w.data());
    tamsa::cli::args args(int(argv.size()), argv.data());
    return tamsa_test::error_of([&args] { tamsa::tools::image_command(args); });
}

class Image : public tamsa_test::LeakCheck {
   protected:
    void SetUp() override {
        LeakCheck::SetUp();
        tamsa::tools::save_picture(dir_.file("in.ppm"), pattern(12, 8));
    }
    std::string in() const { return dir_.file("in.ppm"); }
    std::string out(const char *name = "out.png") const { return dir_.file(name); }
    TempDir dir_;
};

TEST_F(Image, OperationsGiveWhatTheLibraryGives) {
    ASSERT_EQ(image({"scale", in(), out(), "6x16"}), "");
    picture p = tamsa::tools::load_picture(out());
    EXPECT_EQ(p.width, 6);
    EXPECT_EQ(p.height, 16);
    // Nearest neighbour: result pixel (1, 3) is source pixel (2, 1).
    const picture source = pattern(12, 8);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(p.pixels[(3 * 6 + 1) * 3 + c], source.pixels[(1 * 12 + 2) * 3 + c]);

    ASSERT_EQ(image({"transpose", in(), out("t.ppm")}), "");
    ASSERT_EQ(image({"transpose", out("t.ppm"), out("tt.ppm")}), "");
    EXPECT_EQ(tamsa::tools::load_picture(out("tt.ppm")).pixels, source.pixels)
        << "transposed twice";

    ASSERT_EQ(image({"cut", in(), out("c.ppm"), "13", "0", "10", "1"}), "");
    p = tamsa::tools::load_picture(out("c.ppm"));
    EXPECT_EQ(p.width, 4);
    EXPECT_EQ(p.height, 2);
    EXPECT_EQ(p.pixels[3 * 3], 0) << "outside the source is black";

    std::filesystem::remove(out());
    for (auto words : std::vector<std::vector<std::string>>{
             {"rotate", in(), out(), "30", "--fill", "1,2,3"},
             {"shear", in(), out(), "0", "7", "0", "5"},
             {"smooth", in(), out(), "2"},
             {"dither", in(), out(), "4"},
             {"correct", in(), out(), "50", "-10", "--invert"},
             {"remap", in(), out()},
             {"blit", in(), out(), in(), "3", "-2", "--transparency", "40"},
             {"blit", in(), out(), in(), "3", "-2", "--alpha"},
             {"line", in(), out(), "0", "0", "11", "7", "--colour", "255,0,0"},
             {"box", in(), out(), "1", "1", "9", "6", "--step", "2"}}) {
        EXPECT_EQ(image(words), "") << words[0];
        EXPECT_TRUE(std::filesystem::exists(out())) << words[0];
        std::filesystem::remove(out());
    }
}

// Quarter turns and flips move pixels only: checked against the library's transpose, which
// with a flip top to bottom is a quarter turn counter-clockwise, and against each other.
TEST_F(Image, TurnsAndFlipsMovePixelsExactly) {
    const picture source = pattern(12, 8);
    const auto load = [this](const char *name) { return tamsa::tools::load_picture(out(name)); };
    ASSERT_EQ(image({"transpose", in(), out("t.ppm")}), "");
    ASSERT_EQ(image({"flip", out("t.ppm"), out("tv.ppm"), "v"}), "");
    ASSERT_EQ(image({"turn", in(), out("90.ppm"), "90"}), "");
    EXPECT_EQ(load("90.ppm").width, 8);
    EXPECT_EQ(load("90.ppm").pixels, load("tv.ppm").pixels);
    // The top-right pixel goes to the top left.
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(load("90.ppm").pixels[size_t(c)], source.pixels[11 * 3 + c]);
    ASSERT_EQ(image({"flip", in(), out("h.ppm"), "h"}), "");
    ASSERT_EQ(image({"flip", out("h.ppm"), out("hv.ppm"), "v"}), "");
    ASSERT_EQ(image({"turn", in(), out("180.ppm"), "180"}), "");
    EXPECT_EQ(load("180.ppm").pixels, load("hv.ppm").pixels);
    ASSERT_EQ(image({"turn", out("90.ppm"), out("360.ppm"), "270"}), "");
    EXPECT_EQ(load("360.ppm").pixels, source.pixels) << "90 then 270";
    ASSERT_EQ(image({"flip", out("h.ppm"), out("hh.ppm"), "h"}), "");
    EXPECT_EQ(load("hh.ppm").pixels, source.pixels) << "flipped twice";
    EXPECT_NE(image({"turn", in(), out("x.ppm"), "45"}).find("bad turn: '45'"), std::string::npos);
    EXPECT_NE(image({"flip", in(), out("x.ppm"), "d"}).find("bad direction"), std::string::npos);
}

// An existing OUT is replaced only with -y, and its own input then through a new file.
TEST_F(Image, AnExistingFileIsReplacedOnlyWhenAsked) {
    const std::string before = TempDir::read(in());
    EXPECT_NE(image({"turn", in(), in(), "180"}).find("already exists; -y (--overwrite)"),
              std::string::npos);
    EXPECT_EQ(TempDir::read(in()), before);
    // A failing run with -y leaves the old file whole.
    EXPECT_NE(image({"scale", dir_.file("none.ppm"), in(), "2x2", "-y"}).find("none.ppm"),
              std::string::npos);
    EXPECT_EQ(TempDir::read(in()), before);
    ASSERT_EQ(image({"turn", in(), in(), "180", "-y"}), "");
    ASSERT_EQ(image({"turn", in(), in(), "180", "--overwrite"}), "");
    EXPECT_EQ(TempDir::read(in()), before) << "turned twice by half";
}

TEST_F(Image, ErrorsWriteNothing) {
    struct bad {
        std::vector<std::string> words;
        const char *reason;
    };
    const std::string missing = dir_.file("missing.ppm");
    const std::vector<bad> cases = {
        {{"scale", missing, out(), "4x4"}, "missing.ppm"},
        {{"scale", in(), out(), "4by4"}, "bad size"},
        {{"scale", in(), out(), "0x4"}, "bad size"},
        {{"scale", in(), out()}, "missing a size"},
        {{"scale", in(), out(), "4x4", "--fill", "1,2,3"}, "unknown option: --fill"},
        {{"twirl", in(), out()}, "unknown operation: twirl"},
        {{"dither", in(), out(), "9"}, "bad matrix type"},
        {{"rotate", in(), out(), "nan"}, "bad angle"},
        {{"line", in(), out(), "0", "0", "1", "1", "--colour", "300,0,0"}, "bad colour"},
        {{"box", in(), out(), "0", "0", "1", "1", "--step", "0"}, "bad step"},
        {{"blit", in(), out(), missing, "0", "0"}, "missing.ppm"},
        {{"scale", in(), dir_.file("no/such/dir/out.png"), "4x4"}, "cannot write"},
        {{"scale"}, "missing an input file"},
        {{"scale", in(), out(), "1000001x1"}, "a PNG may be at most 1000000 pixels"},
        {{"scale", in(), out("o.ppm"), "2x2", "--format", "png"}, "--format is for OUT -"},
    };
    for (const bad &c : cases) {
        const std::string why = image(c.words);
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.words[0] << ": " << why;
        EXPECT_EQ(why.find('\n'), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(out()));
    // Only the input is left in the directory: no half-written or temporary files.
    size_t files = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir_.path())) {
        (void)e;
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

// The input is decoded into the library's bitmap: a failed allocation anywhere on the way fails
// the command, leaves nothing allocated and writes nothing; the same for every input form.
TEST_F(Image, AFailedAllocationLeavesNothingAndWritesNothing) {
    TempDir::write(dir_.file("in.jpg"), tamsa_test::test_jpeg(12, 8, 3));
    TempDir::write(dir_.file("grey.jpg"), tamsa_test::test_jpeg(12, 8, 1));
    picture grey = pattern(12, 8);
    grey.channels = 1;
    grey.pixels.resize(12 * 8);
    tamsa::tools::save_picture(dir_.file("grey.png"), grey);
    for (const char *name : {"in.ppm", "in.jpg", "grey.jpg", "grey.png"}) {
        SCOPED_TRACE(name);
        const std::string result = out("turned.ppm");
        const uint32_t made = tamsa_test::sweep_alloc_failures([&] {
            const std::string why = image({"turn", dir_.file(name), result, "90", "-y", "-q"});
            if (why.empty()) return true;
            EXPECT_NE(why.find("out of memory"), std::string::npos) << why;
            EXPECT_FALSE(std::filesystem::exists(result));
            return false;
        });
        EXPECT_GE(made, 4u);  // the input's bitmap and the turned one, each a record and pixels
        EXPECT_EQ(tamsa::tools::load_picture(result).width, 8);
        std::filesystem::remove(result);
    }
}

TEST_F(Image, AMissingInputExitsWithOneAndOneLineOnStderr) {
    const std::string err = dir_.file("err.txt");
    const int status = std::system((std::string(TAMSA_COMMAND) + " image scale " +
                                    dir_.file("none.ppm") + " " + out() + " 4x4 2>" + err)
                                       .c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    const std::string text = TempDir::read(err);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_EQ(text.rfind("tamsa image: ", 0), 0u) << text;
    EXPECT_FALSE(std::filesystem::exists(out()));
}

// The table of operations against what is written from it by hand: each operation's help, the
// README's list and the Python stub (which the Python tests hold to the module itself).
using tamsa::tools::arg_kind;
using tamsa::tools::image_argument;
using tamsa::tools::image_op;

std::string one_line(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

TEST(ImageTable, EachHelpSaysItsRangesAndDefaults) {
    for (const image_op &op : tamsa::tools::image_ops()) {
        const std::string help = one_line(tamsa::tools::op_help(op));
        EXPECT_EQ(help.find('{'), std::string::npos) << op.name << ": " << help;
        for (const image_argument &a : op.args) {
            if (a.fallback != nullptr) {
                const std::string f = a.fallback;
                EXPECT_TRUE(help.find("default " + f) != std::string::npos ||
                            help.find(f + " (default)") != std::string::npos)
                    << op.name << " " << a.word;
            }
            if (!a.range.has_value() || std::string(a.word) == "TYPE") continue;
            const std::string range =
                std::to_string(a.range->low) + ".." + std::to_string(a.range->high);
            EXPECT_NE(help.find(range), std::string::npos) << op.name << " " << a.word;
        }
    }
    // Dithering lists its matrices as the library's table names them.
    const image_op &dither =
        *std::find_if(tamsa::tools::image_ops().begin(), tamsa::tools::image_ops().end(),
                      [](const image_op &op) { return std::string(op.name) == "dither"; });
    const std::string help = one_line(tamsa::tools::op_help(dither));
    for (const auto &m : tamsa::settings::kDitherMatrices) {
        const std::string entry = std::to_string(m.type) + " " + m.words + " " +
                                  std::to_string(m.size) + "x" + std::to_string(m.size);
        EXPECT_NE(help.find(entry), std::string::npos) << entry;
    }
    EXPECT_EQ(dither.args[0].range->high, tamsa::settings::kDitherType.high);
}

TEST(ImageTable, TheReadmeListsEveryOperationInOrder) {
    std::istringstream readme(TempDir::read(TAMSA_SOURCE_DIR "/README.md"));
    std::string listed;
    bool in_list = false;
    for (std::string line; std::getline(readme, line);) {
        const size_t hash = line.find("# ");
        const bool first = !in_list && line.find("tamsa image --help") != std::string::npos;
        if (!in_list && !first) continue;
        // The list goes on in comments under the first one, with nothing before them.
        if (hash == std::string::npos || (!first && line.find_first_not_of(' ') != hash)) break;
        in_list = true;
        listed += line.substr(hash + 2) + " ";
    }
    std::string names;
    for (const image_op &op : tamsa::tools::image_ops()) names += std::string(op.name) + ", ";
    names.resize(names.size() - 2);
    std::string words;
    std::istringstream in(listed);
    for (std::string w; in >> w;) words += (words.empty() ? "" : " ") + w;
    EXPECT_EQ(words, names) << "README.md, after 'tamsa image --help'";
}

// Each parameter of a function of the stub, with its default ("" for none).
std::map<std::string, std::vector<std::pair<std::string, std::string>>> stub_functions() {
    const std::string stub = TempDir::read(TAMSA_SOURCE_DIR "/python/tamsa.pyi");
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> functions;
    for (size_t at = stub.find("\ndef "); at != std::string::npos;
         at = stub.find("\ndef ", at + 1)) {
        const size_t open = stub.find('(', at);
        const std::string name = stub.substr(at + 5, open - at - 5);
        auto &params = functions[name];
        int depth = 0;
        std::string piece;
        for (size_t i = open + 1; depth >= 0; ++i) {
            const char c = stub[i];
            depth += c == '(' || c == '[' ? 1 : c == ')' || c == ']' ? -1 : 0;
            if ((c == ',' && depth == 0) || depth < 0) {
                const size_t colon = piece.find(':'), eq = piece.find(" = ");
                std::string word = piece.substr(0, colon);
                word.erase(0, word.find_first_not_of(" \n"));
                params.emplace_back(word, eq == std::string::npos ? "" : piece.substr(eq + 3));
                piece.clear();
            } else {
                piece += c;
            }
        }
    }
    return functions;
}

// A default of the command in Python's words: R,G,B as a tuple, an option unset as False.
std::string in_python(const image_argument &a) {
    if (a.kind == arg_kind::flag) return "False";
    if (a.kind != arg_kind::colour) return a.fallback;
    std::string tuple = "(";
    for (const char *c = a.fallback; *c != '\0'; ++c)
        tuple += *c == ',' ? std::string(", ") : std::string(1, *c);
    return tuple + ")";
}

TEST(ImageTable, PythonDoesTheSameOperationsByTheSameNamesAndDefaults) {
    const auto stub = stub_functions();
    ASSERT_GT(stub.size(), 30u);
    size_t checked = 0;
    for (const image_op &op : tamsa::tools::image_ops()) {
        // A function named as an operation is that operation.
        if (stub.count(op.name) != 0) {
            EXPECT_STREQ(op.python, op.name);
        }
        if (op.python == nullptr) continue;
        ASSERT_EQ(stub.count(op.python), 1u) << op.python;
        const auto &params = stub.at(op.python);
        size_t from = 1;  // after the picture
        for (const image_argument &a : op.args) {
            if (a.python == nullptr) continue;
            std::istringstream names(a.python);
            for (std::string name; std::getline(names, name, ',');) {
                name.erase(0, name.find_first_not_of(' '));
                const auto it = std::find_if(params.begin() + long(from), params.end(),
                                             [&](const auto &p) { return p.first == name; });
                ASSERT_NE(it, params.end()) << op.python << "(" << name << ") in order";
                from = size_t(it - params.begin()) + 1;
                if (a.fallback != nullptr || a.kind == arg_kind::flag) {
                    EXPECT_EQ(it->second, in_python(a)) << op.python << "(" << name << ")";
                }
                ++checked;
            }
        }
    }
    EXPECT_GT(checked, 25u);
}

}  // namespace
