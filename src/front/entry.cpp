// The program entry: parse, validate, run the mode's driver.
#include "front/args.h"
#include "base/cleanup_lock.h"
#include "base/report.h"
#include "mutual/mutual.h"
#include "single/single.h"
#include "sync/sync.h"
#include "userapl/userapl.h"

int kavprobe_main(int argc, char **argv) {
    // The texts carry their own CR LF; a text-mode stream would double the CR.
    platform_binary_stdio();
    sync_install();

    CheckContext ctx;
    memset(&ctx, 0, sizeof ctx);
    if (parse_arguments(argc, argv, &ctx) != 0) return -1;
    if (validate_arguments(&ctx) != 0) return -1;
    return kavprobe_run(&ctx);
}

int kavprobe_run(CheckContext *ctx) {
    TestResult result = TEST_ABORTED;
    switch (ctx->mode) {
    case MODE_SINGLE:
        result = single_check(ctx);
        break;
    case MODE_DOUBLE:
        result = mutual_check(ctx);
        break;
    case MODE_USERAPL: {
        static const char operation[] = "動作「外部アプリケーション連携確認」";
        static const char target[] = "確認対象「確認対象ファイルに対するテスト」";
        report_begin(operation);
        report_begin(target);
        result = external_app_check(ctx);
        report_end(target, result);
        report_end(operation, result);
        break;
    }
    default:
        break;
    }

    delete_cleanup_lock();
    return result == TEST_OK ? 0 : -1;
}
