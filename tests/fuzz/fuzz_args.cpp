// Fuzz target: parse_arguments against a model of the command-line rules, then
// validate_arguments on what it accepted. The input is the argument vector, the
// arguments separated by NUL bytes; each becomes its own exactly sized block so
// that AddressSanitizer sees any read past its end.
#include "front/args.h"
#include "base/cleanup_lock.h"
#include "fuzz_common.h"

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const char usage_text[] =
    "usage:\r\n"
    "kavprobe -m single -p targetpath -h kavsharepath [-o logfile] [-t timeout]\r\n"
    "kavprobe -m double -p targetpath -h kavsharepath [-o logfile] [-t timeout]\r\n"
    "kavprobe -m userapl -f targetfile [-o logfile] [-t timeout]";

const char msg_target_is_folder[] = "確認対象ファイルにフォルダが指定されています。\r\n";
const char msg_target_exists[] = "確認対象ファイルが既に存在しています。\r\n";
const char msg_system_error[] = "システムエラー\r\n";
const char msg_target_folder_invalid[] = "確認対象ファイルに指定されたフォルダが不正です。\r\n";
const char msg_share_path_invalid[] = "指定されたKAVRO間共有環境設定パスが不正です。\r\n";
const char msg_target_path_invalid[] = "指定された確認対象パスが不正です。\r\n";
const char msg_log_open_failed[] = "ログファイルを開くことができませんでした。\r\n";

// Fixture of the working folder: a folder, a read-only folder and a file.
const char *const fixture[] = {"d", "ro", "f"};

void make_fixture(void) {
    mkdir("d", 0755);
    mkdir("ro", 0555);
    chmod("ro", 0555);
    FILE *f = fopen("f", "ab");
    if (f != nullptr) fclose(f);
}

bool is_fixture(const char *name) {
    for (const char *f : fixture)
        if (strcmp(name, f) == 0) return true;
    return false;
}

// Removes whatever a log path created: files in the working folder and in the two
// fixture folders (root may write into the read-only one).
void reset_work_folder(void) {
    for (const char *dir : {".", "d", "ro"}) {
        DIR *d = opendir(dir);
        if (d == nullptr) continue;
        std::vector<std::string> extra;
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            if (strcmp(dir, ".") == 0 && is_fixture(e->d_name)) continue;
            extra.push_back(std::string(dir) + "/" + e->d_name);
        }
        closedir(d);
        for (const std::string &p : extra) unlink(p.c_str());
    }
    make_fixture();
}

bool lead_byte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// The Unix path of a tool path (code page 932, backslashes as separators).
std::string unix_path(const std::string &p) {
    std::string out;
    for (size_t i = 0; i < p.size(); ++i) {
        if (lead_byte((unsigned char)p[i]) && i + 1 < p.size()) {
            out += p[i];
            out += p[++i];
        } else {
            out += p[i] == '\\' ? '/' : p[i];
        }
    }
    return out;
}

bool usable_folder(const char *path) {
    struct stat st;
    if (path[0] == '\0' || stat(unix_path(path).c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && (st.st_mode & 0222) != 0;
}

// A log path that can only name something inside the working folder.
bool confined(const char *path) {
    if (path[0] == '/' || path[0] == '\\') return false;
    return strchr(path, ':') == nullptr && strstr(path, "..") == nullptr;
}

// A UNC name (two separators first) goes to the SMB client, that is to some server on
// the network; fuzzing never reaches out, so validation runs only without one.
bool unc(const char *path) { return (path[0] == '/' || path[0] == '\\') && (path[1] == '/' || path[1] == '\\'); }
bool stays_local(const CheckContext *ctx) {
    return !unc(ctx->kavsharepath) && !unc(ctx->targetpath) && !unc(ctx->targetfile) && !unc(ctx->logfile);
}

struct Model {
    int result;
    CheckContext ctx;
};

// The command-line rules, written independently of the parser.
Model model_parse(const std::vector<std::string> &args) {
    Model m;
    m.result = -1;
    memset(&m.ctx, 0, sizeof m.ctx);
    bool timeout_given = false;
    std::string timeout_text;
    size_t n = args.size();
    for (size_t i = 1; i < n; i += 2) {
        const std::string &a = args[i];
        if (i + 1 >= n) return m;
        const std::string &v = args[i + 1];
        char *field = nullptr;
        if (a == "-m") {
            if (m.ctx.mode != 0) return m;
            if (v == "single") m.ctx.mode = 1;
            else if (v == "double") m.ctx.mode = 2;
            else if (v == "userapl") m.ctx.mode = 3;
            else return m;
            continue;
        }
        if (a == "-t") {
            if (timeout_given) return m;
            timeout_given = true;
            timeout_text = v;
            continue;
        }
        if (a == "-p") field = m.ctx.targetpath;
        else if (a == "-h") field = m.ctx.kavsharepath;
        else if (a == "-f") field = m.ctx.targetfile;
        else if (a == "-o") field = m.ctx.logfile;
        else return m;
        if (field[0] != '\0' || v.size() > 200) return m;
        memcpy(field, v.c_str(), v.size() + 1);
    }
    if (m.ctx.mode == 0) return m;
    bool has_p = m.ctx.targetpath[0] != '\0', has_h = m.ctx.kavsharepath[0] != '\0';
    bool has_f = m.ctx.targetfile[0] != '\0';
    if (m.ctx.mode == 3 ? (!has_f || has_p || has_h) : (!has_p || !has_h || has_f)) return m;
    if (!timeout_given) {
        m.ctx.timeout = 30;
    } else {
        errno = 0;
        long long v = strtoll(timeout_text.c_str(), nullptr, 10);
        if (v > INT32_MAX) v = INT32_MAX;
        if (v < INT32_MIN) v = INT32_MIN;
        m.ctx.timeout = (int32_t)v;
        if (m.ctx.timeout < 10 || m.ctx.timeout > 600) return m;
    }
    m.result = 0;
    return m;
}

std::string describe(const std::vector<std::string> &args) {
    std::string out;
    for (const std::string &a : args) out += "[" + a + "] ";
    return out;
}

bool same_context(const CheckContext *a, const CheckContext *b) {
    return a->mode == b->mode && a->timeout == b->timeout &&
           memcmp(a->kavsharepath, b->kavsharepath, sizeof a->kavsharepath) == 0 &&
           memcmp(a->targetpath, b->targetpath, sizeof a->targetpath) == 0 &&
           memcmp(a->targetfile, b->targetfile, sizeof a->targetfile) == 0 &&
           memcmp(a->logfile, b->logfile, sizeof a->logfile) == 0;
}

void check_validation(CheckContext *ctx, const std::vector<std::string> &args) {
    bool log_given = ctx->logfile[0] != '\0';
    fuzz_capture_begin(2);
    int r = validate_arguments(ctx);
    std::string err = fuzz_capture_end();
    if (r == 0) delete_cleanup_lock();
    if (log_given) reset_work_folder();

    if (r != 0 && r != -1) fuzz_fail("validate_arguments result", describe(args));
    if (r == 0 && !err.empty()) fuzz_fail("validation passed but wrote a message", describe(args) + err);
    if (r == 0 && ctx->mode != 3 && (!usable_folder(ctx->kavsharepath) || !usable_folder(ctx->targetpath)))
        fuzz_fail("validation passed an unusable folder", describe(args));
    if (r == 0) return;
    const char *allowed_folders[] = {msg_share_path_invalid, msg_target_path_invalid, msg_log_open_failed};
    const char *allowed_file[] = {msg_target_is_folder, msg_target_exists, msg_system_error,
                                  msg_target_folder_invalid, msg_log_open_failed};
    bool known = false;
    if (ctx->mode == 3) {
        for (const char *m : allowed_file) known = known || err == m;
    } else {
        for (const char *m : allowed_folders) known = known || err == m;
        // The shared-settings path is examined first.
        if (!usable_folder(ctx->kavsharepath) && err != msg_share_path_invalid)
            fuzz_fail("unusable -h folder not told first", describe(args) + err);
    }
    if (!known) fuzz_fail("validation failed without exactly one known message", describe(args) + err);
    if (!log_given && err == msg_log_open_failed) fuzz_fail("console report refused", describe(args));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // Code page 932 for the whole run (read once, on the first use).
    setenv("LC_ALL", "ja_JP.SJIS", 1);
    fuzz_enter_work_folder("kavfuzz-args");
    make_fixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 4096) return -1;
    std::vector<std::string> args{"kavprobe"};
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i == size || data[i] == 0) {
            if (i == size && start == size && size != 0) break;  // a trailing NUL ends the last argument
            args.emplace_back((const char *)data + start, i - start);
            start = i + 1;
        }
    }
    if (size == 0) args.resize(1);
    if (args.size() > 24) return -1;

    std::vector<std::unique_ptr<char[]>> blocks;
    std::vector<char *> argv;
    for (const std::string &a : args) {
        blocks.emplace_back(new char[a.size() + 1]);
        memcpy(blocks.back().get(), a.c_str(), a.size() + 1);
        argv.push_back(blocks.back().get());
    }
    argv.push_back(nullptr);

    Model want = model_parse(args);
    CheckContext ctx;
    memset(&ctx, 0, sizeof ctx);
    fuzz_capture_begin(2);
    int r = parse_arguments((int)args.size(), argv.data(), &ctx);
    std::string err = fuzz_capture_end();

    if (r != want.result) fuzz_fail("parse_arguments result differs from the rules", describe(args));
    if (r != 0) {
        if (err != usage_text) fuzz_fail("refusal without exactly the usage text", describe(args) + err);
        return 0;
    }
    if (!err.empty()) fuzz_fail("accepted command line wrote to stderr", describe(args) + err);
    if (!same_context(&ctx, &want.ctx)) fuzz_fail("parsed values differ from the rules", describe(args));
    if (confined(ctx.logfile) && stays_local(&ctx)) check_validation(&ctx, args);
    return 0;
}
