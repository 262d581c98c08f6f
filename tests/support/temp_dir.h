// A scratch directory for tests that write files, removed with everything in it.
#ifndef TAMSA_TESTS_TEMP_DIR_H
#define TAMSA_TESTS_TEMP_DIR_H

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tamsa_test {

class TempDir {
   public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tamsa-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    std::string file(const std::string &name) const { return (path_ / name).string(); }
    const std::filesystem::path &path() const { return path_; }

    static void write(const std::string &path, const std::string &bytes) {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

   private:
    std::filesystem::path path_;
};

}  // namespace tamsa_test

#endif
