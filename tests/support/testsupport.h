// Helpers shared by the C++ tests of every subsystem.
#pragma once

#include <string>

#include "platform/win32.h"

namespace kavtest {

// Closes a handle on every way out of a test; NULL and INVALID_HANDLE_VALUE hold none.
struct HandleGuard {
    HANDLE h = INVALID_HANDLE_VALUE;
    ~HandleGuard() {
        if (h != NULL && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};


// A fresh empty folder under the system's temporary folder, removed with all its
// content when the object goes out of scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    // The folder, in the form the Win32 layer takes (no trailing separator).
    const std::string &path() const { return path_; }
    // path() + backslash + name.
    std::string file(const std::string &name) const;

  private:
    std::string path_;
};

bool file_exists(const std::string &path);
// Whole content of a file, or an empty string when it cannot be read.
std::string read_file(const std::string &path);

}  // namespace kavtest
