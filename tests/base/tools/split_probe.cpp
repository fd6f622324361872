// Prints the ANSI code page and the parts split_path finds in a path, one a line:
// code page, result, drive, folder, base name, extension. The path comes in hex,
// so its bytes reach the program unchanged whatever the locale of the caller.
#include "base/pathsplit.h"
#include "platform/win32.h"

int main(int argc, char **argv) {
    platform_binary_stdio();
    if (argc != 2) return 2;
    char path[1024];
    size_t n = strlen(argv[1]) / 2;
    if (n >= sizeof path) return 2;
    for (size_t i = 0; i < n; ++i) {
        unsigned int byte = 0;
        if (sscanf(argv[1] + 2 * i, "%2x", &byte) != 1) return 2;
        path[i] = (char)byte;
    }
    path[n] = '\0';
    SplitPath parts;
    int result = split_path(path, &parts);
    printf("%u\n%d\n%s\n%s\n%s\n%s\n", GetACP(), result, parts.drive, parts.dir, parts.fname, parts.ext);
    return 0;
}
