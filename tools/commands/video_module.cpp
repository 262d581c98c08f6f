#include "tools/commands/video_module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <mutex>
#include <vector>

#include "tools/commands/cli.h"

#ifndef TAMSA_VIDEO_MODULE_NAME
#define TAMSA_VIDEO_MODULE_NAME "tamsa_video.so"
#endif
// The install's directory of the module, relative to the program's.
#ifndef TAMSA_VIDEO_MODULE_DIR
#define TAMSA_VIDEO_MODULE_DIR "../lib/tamsa"
#endif

namespace tamsa::tools {

namespace {

// Made at first use, so that a setting from another file's static initializer stays.
struct module_state {
    std::mutex m;
    std::string chosen_path;
    const tamsa_video_api *table = nullptr;
    std::string problem;  // why the module could not be used, once tried
};

module_state &state() {
    static module_state s;
    return s;
}

// The running program's directory, from the kernel's link: a moved install still finds its
// module.
std::string program_dir() {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return "";
    const std::string exe(buffer.data(), size_t(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? "." : exe.substr(0, slash);
}

// The table of the module at path, or null with why in problem.
const tamsa_video_api *try_open(const std::string &path, std::string &why) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *e = dlerror();
        why = e != nullptr ? e : path + ": cannot be opened";
        return nullptr;
    }
    const auto entry = reinterpret_cast<tamsa_video_entry>(dlsym(handle, TAMSA_VIDEO_ENTRY));
    const tamsa_video_api *t = entry != nullptr ? entry() : nullptr;
    if (t == nullptr || t->version != TAMSA_VIDEO_VERSION || t->size != sizeof(tamsa_video_api)) {
        why = path + " is not this program's video module (another version)";
        dlclose(handle);
        return nullptr;
    }
    // Kept open for the life of the process.
    return t;
}

}  // namespace

const tamsa_video_api &video_module() {
    module_state &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    const std::string &chosen_path = s.chosen_path;
    const tamsa_video_api *&table = s.table;
    std::string &problem = s.problem;
    if (table == nullptr && problem.empty()) {
        std::vector<std::string> places;
        if (!chosen_path.empty()) {
            places.push_back(chosen_path);
        } else {
            const std::string dir = program_dir();
            places.push_back(dir + "/" TAMSA_VIDEO_MODULE_NAME);
            places.push_back(dir + "/" TAMSA_VIDEO_MODULE_DIR "/" TAMSA_VIDEO_MODULE_NAME);
        }
        std::string first_why;
        for (const std::string &place : places) {
            std::string why;
            if (access(place.c_str(), F_OK) != 0) continue;
            table = try_open(place, why);
            if (table != nullptr) break;
            if (first_why.empty()) first_why = why;
        }
        if (table == nullptr) {
            problem = "video files are read and written by the module " TAMSA_VIDEO_MODULE_NAME
                      ", which ";
            if (first_why.empty()) {
                problem += "is not installed (looked for " + places[0];
                if (places.size() > 1) problem += " and " + places[1];
                problem += ")";
            } else {
                problem += "cannot be loaded: " + first_why;
            }
            problem += "; Y4M clips, raw planes and picture files need no module";
        }
    }
    if (table == nullptr) throw cli::failure{problem};
    return *table;
}

void set_video_module_path(const std::string &path) {
    module_state &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.chosen_path = path;
}

bool video_module_loaded() {
    module_state &s = state();
    std::lock_guard<std::mutex> lock(s.m);
    return s.table != nullptr;
}

}  // namespace tamsa::tools
