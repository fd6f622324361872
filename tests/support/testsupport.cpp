#include "testsupport.h"

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace kavtest {

namespace {

std::string env(const char *name) {
    const char *v = getenv(name);
    return v ? v : "";
}

std::string trimmed(std::string s) {
    while (s.size() > 1 && (s.back() == '/' || s.back() == '\\')) s.pop_back();
    return s;
}

// A path of the Win32 layer as the local file system names it: under KAV_TEST_ROOT,
// the same place under KAV_TEST_ROOT_LOCAL.
std::string local_path(const std::string &path) {
    const std::string root = trimmed(env("KAV_TEST_ROOT"));
    std::string p = path;
    if (!root.empty() && p.compare(0, root.size(), root) == 0)
        p = trimmed(env("KAV_TEST_ROOT_LOCAL")) + p.substr(root.size());
    for (char &c : p)
        if (c == '\\') c = '/';
    return p;
}

}  // namespace

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    const std::string root = trimmed(env("KAV_TEST_ROOT"));
    fs::path base = root.empty() ? fs::temp_directory_path() : fs::path(local_path(root));
    for (;;) {
        const std::string name = "kavtest-" + std::to_string(rd()) + "-" + std::to_string(counter++);
        fs::path p = base / name;
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            local_ = trimmed(p.string());
            path_ = root.empty() ? local_ : root + "\\" + name;
            // The server's account, not this process, writes in it.
            if (!root.empty()) fs::permissions(p, fs::perms::all, ec);
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(local_, ec);
}

bool on_share() { return !trimmed(env("KAV_TEST_ROOT")).empty(); }

std::string TempDir::file(const std::string &name) const { return path_ + "\\" + name; }

std::string TempDir::local(const std::string &name) const { return name.empty() ? local_ : local_ + "/" + name; }

bool file_exists(const std::string &path) {
    std::error_code ec;
    return fs::exists(fs::path(local_path(path)), ec);
}

std::string read_file(const std::string &path) {
    const std::string p = local_path(path);
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace kavtest
