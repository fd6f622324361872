#include "testsupport.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace fs = std::filesystem;

namespace kavtest {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    fs::path base = fs::temp_directory_path();
    for (;;) {
        fs::path p = base / ("kavtest-" + std::to_string(rd()) + "-" + std::to_string(counter++));
        std::error_code ec;
        if (fs::create_directory(p, ec)) {
            path_ = p.string();
            while (path_.size() > 1 && (path_.back() == '/' || path_.back() == '\\')) path_.pop_back();
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string &name) const { return path_ + "\\" + name; }

bool file_exists(const std::string &path) {
    std::string p = path;
    for (char &c : p)
        if (c == '\\') c = '/';
    std::error_code ec;
    return fs::exists(fs::path(p), ec);
}

std::string read_file(const std::string &path) {
    std::string p = path;
    for (char &c : p)
        if (c == '\\') c = '/';
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace kavtest
