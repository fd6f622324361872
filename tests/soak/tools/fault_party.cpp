// The tool with one entry of its table of calls failed, for the fault walk of the
// modes whose other party is a process or a user: runs the command line as the tool
// does, with a timeout below the command line's least, and writes how often each
// entry was called.
//
//   fault_party --list
//   fault_party [--fail NAME:N[:always]] [--counts FILE] [--timeout S] -- ARGS...
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/cleanup_lock.h"
#include "front/args.h"
#include "soak/fault_entries.h"

int main(int argc, char **argv) {
    platform_binary_stdio();
    sync_install();
    const std::vector<soak::Entry> all = soak::entries();
    std::string fail, counts;
    int timeout = 0;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        if (strcmp(argv[i], "--list") == 0) {
            for (const soak::Entry &e : all) printf("%s %d\n", e.name, e.may_leave_files ? 1 : 0);
            return 0;
        }
        if (i + 1 >= argc) return 2;
        if (strcmp(argv[i], "--fail") == 0) fail = argv[++i];
        else if (strcmp(argv[i], "--counts") == 0) counts = argv[++i];
        else if (strcmp(argv[i], "--timeout") == 0) timeout = atoi(argv[++i]);
        else return 2;
    }
    if (i >= argc) return 2;
    argv[i] = argv[0];  // the tool's own arguments follow as its command line
    CheckContext ctx;
    memset(&ctx, 0, sizeof ctx);
    if (parse_arguments(argc - i, argv + i, &ctx) != 0 || validate_arguments(&ctx) != 0) return -1;
    if (timeout > 0) ctx.timeout = timeout;

    // Every entry counts its calls; the named one fails its Nth (and later ones when "always").
    bool armed = fail.empty();
    for (const soak::Entry &e : all) {
        const std::string head = std::string(e.name) + ":";
        if (fail.compare(0, head.size(), head) == 0) {
            const char *n = fail.c_str() + head.size();
            e.fail(atoi(n), strstr(n, ":always") != nullptr);
            armed = true;
        } else {
            e.fail(0, false);
        }
    }
    if (!armed) return 2;
    const int status = kavprobe_run(&ctx);
    sys_calls_reset();
    if (!counts.empty()) {
        FILE *f = fopen(counts.c_str(), "w");
        if (f == nullptr) return 3;
        for (const soak::Entry &e : all) fprintf(f, "%s %d\n", e.name, e.calls());
        fclose(f);
    }
    return status;
}
