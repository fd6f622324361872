// Command line and validation.
#include "front/args.h"

#include "base/cleanup_lock.h"
#include "base/pathsplit.h"
#include "base/report.h"

#include <limits.h>

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
const char msg_no_memory[] = "メモリの確保に失敗しました。\r\n";

enum { DEFAULT_TIMEOUT = 30, TIMEOUT_MIN = 10, TIMEOUT_MAX = 600 };

int fail_message(const char *message) {
    fprintf(stderr, "%s", message);
    fflush(stderr);
    return -1;
}

int fail_usage(void) { return fail_message(usage_text); }

// Decimal conversion as the C library's strtol does it (leading white space,
// optional sign, digits up to the first non-digit, none gives 0), clamped to the
// 32-bit range whatever the width of long, so both builds read a value alike.
int32_t convert_seconds(const char *text) {
    const char *s = text;
    while (*s == ' ' || *s == '\t' || *s == '\n' || *s == '\v' || *s == '\f' || *s == '\r') ++s;
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        ++s;
    }
    // Magnitude saturates just past the largest one that matters.
    const int64_t limit = (int64_t)INT32_MAX + 1;
    int64_t magnitude = 0;
    for (; *s >= '0' && *s <= '9'; ++s) {
        magnitude = magnitude * 10 + (*s - '0');
        if (magnitude > limit) magnitude = limit;
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > INT32_MAX) value = INT32_MAX;
    if (value < INT32_MIN) value = INT32_MIN;
    return (int32_t)value;
}

// The options whose value is a text, and where each is kept.
const struct {
    const char *name;
    decltype(CheckContext::logfile) CheckContext::*field;
} text_options[] = {
    {"-p", &CheckContext::targetpath},
    {"-h", &CheckContext::kavsharepath},
    {"-f", &CheckContext::targetfile},
    {"-o", &CheckContext::logfile},
};

const struct {
    const char *word;
    int32_t mode;
} mode_words[] = {
    {"single", MODE_SINGLE},
    {"double", MODE_DOUBLE},
    {"userapl", MODE_USERAPL},
};

// Stores a text option's value; false when the option repeats or the value is too
// long.
bool take_text(const char *value, char *field) {
    size_t n = strlen(value);
    if (field[0] != '\0' || n > ARG_VALUE_MAX) return false;
    memcpy(field, value, n + 1);
    return true;
}

// The mode a word of -m names, or MODE_NONE.
int32_t mode_of(const char *word) {
    for (const auto &m : mode_words)
        if (strcmp(word, m.word) == 0) return m.mode;
    return MODE_NONE;
}

// 0 when path names a folder that exists and is not read-only (the attributes of a
// name that does not exist have every bit set, read-only included).
int check_folder(const char *path) {
    DWORD attributes = GetFileAttributesA(path);
    return (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_DIRECTORY ? 0 : -1;
}

int validate_target_file(const CheckContext *ctx) {
    DWORD attributes = GetFileAttributesA(ctx->targetfile);
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return fail_message((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? msg_target_is_folder
                                                                           : msg_target_exists);
    }
    SplitPath parts;
    if (split_path(ctx->targetfile, &parts) != 0) return fail_message(msg_system_error);
    if (parts.fname[0] == '\0') return fail_message(msg_target_is_folder);
    if (parts.dir[0] != '\0') {
        char folder[MAX_PATH];
        int n = snprintf(folder, sizeof folder, "%s%s", parts.drive, parts.dir);
        if (n < 0 || n >= (int)sizeof folder || check_folder(folder) != 0) {
            return fail_message(msg_target_folder_invalid);
        }
    }
    return 0;
}

}  // namespace

int parse_arguments(int argc, char **argv, CheckContext *ctx) {
    const char *timeout_text = nullptr;
    // Every option takes a value; an unknown, repeated or incomplete one is a usage error.
    for (int i = 1; i < argc; i += 2) {
        const char *arg = argv[i];
        if (i + 1 >= argc) return fail_usage();
        const char *value = argv[i + 1];
        if (strcmp(arg, "-m") == 0) {
            if (ctx->mode != MODE_NONE) return fail_usage();
            ctx->mode = mode_of(value);
            if (ctx->mode == MODE_NONE) return fail_usage();
        } else if (strcmp(arg, "-t") == 0) {
            if (timeout_text != nullptr) return fail_usage();
            timeout_text = value;
        } else {
            char *field = nullptr;
            for (const auto &o : text_options)
                if (strcmp(arg, o.name) == 0) field = ctx->*o.field;
            if (field == nullptr || !take_text(value, field)) return fail_usage();
        }
    }

    // userapl takes the file alone; the other modes both paths and no file.
    const bool userapl = ctx->mode == MODE_USERAPL;
    if (ctx->mode == MODE_NONE || (ctx->targetfile[0] != '\0') != userapl ||
        (ctx->kavsharepath[0] != '\0') == userapl || (ctx->targetpath[0] != '\0') == userapl)
        return fail_usage();
    ctx->timeout = timeout_text != nullptr ? convert_seconds(timeout_text) : DEFAULT_TIMEOUT;
    if (ctx->timeout < TIMEOUT_MIN || ctx->timeout > TIMEOUT_MAX) return fail_usage();
    return 0;
}

int validate_arguments(CheckContext *ctx) {
    if (ctx->mode == MODE_USERAPL) {
        if (validate_target_file(ctx) != 0) return -1;
    } else {
        if (check_folder(ctx->kavsharepath) != 0) return fail_message(msg_share_path_invalid);
        if (check_folder(ctx->targetpath) != 0) return fail_message(msg_target_path_invalid);
    }
    if (open_report_log(ctx->logfile) != 0) return fail_message(msg_log_open_failed);
    if (create_cleanup_lock() != 0) return fail_message(msg_no_memory);
    return 0;
}
