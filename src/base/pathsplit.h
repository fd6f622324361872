// Splitting a path into drive, folder, base name and extension, aware of the
// double-byte characters of the ANSI code page (a trail byte is never a separator).
#pragma once

enum { SPLIT_DRIVE_MAX = 3, SPLIT_DIR_MAX = 256, SPLIT_FNAME_MAX = 256, SPLIT_EXT_MAX = 256 };

struct SplitPath {
    char drive[SPLIT_DRIVE_MAX];
    char dir[SPLIT_DIR_MAX];
    char fname[SPLIT_FNAME_MAX];
    char ext[SPLIT_EXT_MAX];
};

// 0 on success; -1 when a part does not fit its buffer (every part is then empty).
int split_path(const char *path, SplitPath *out);
