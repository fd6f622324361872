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
//
// With KAV_TEST_ROOT set (a UNC folder), the folder is made inside that one instead, so
// that the same tests run over the SMB client; KAV_TEST_ROOT_LOCAL names that folder as
// the server stores it, through which the tests make, inspect and remove files without
// the client under test.
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
    // The folder, or name inside it (either separator), on the local file system.
    std::string local(const std::string &name = "") const;

  private:
    std::string path_;
    std::string local_;
};

// Whether the tests run over the SMB client (KAV_TEST_ROOT set).
bool on_share();

// Both read through the local file system, a UNC path under KAV_TEST_ROOT too.
bool file_exists(const std::string &path);
// Whole content of a file, or an empty string when it cannot be read.
std::string read_file(const std::string &path);

}  // namespace kavtest
