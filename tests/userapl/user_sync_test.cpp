// The sync-file handshake: where the sync file lies, how a wait ends, and what the
// clean-up leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "base/cleanup_lock.h"
#include "fsprim/fsprim.h"
#include "support/testsupport.h"
#include "userapl/userapl.h"

namespace {

using kavtest::file_exists;
using kavtest::read_file;

std::string sync_name_of(const char *target) {
    CheckContext ctx;
    memset(&ctx, 0, sizeof ctx);
    snprintf(ctx.targetfile, sizeof ctx.targetfile, "%s", target);
    char out[USER_SYNC_NAME_MAX];
    memset(out, 'x', sizeof out);
    if (user_sync_file_name(&ctx, out) != 0) return "<refused>";
    return out;
}

TEST(SyncFileName, LiesBesideTheTarget) {
    EXPECT_EQ(sync_name_of("C:\\work\\a.txt"), "C:\\work\\KAVSTOP.stop");
    EXPECT_EQ(sync_name_of("\\\\server\\share\\dir\\a.txt"), "\\\\server\\share\\dir\\KAVSTOP.stop");
    EXPECT_EQ(sync_name_of("a.txt"), "KAVSTOP.stop");
    EXPECT_EQ(sync_name_of("C:a.txt"), "C:KAVSTOP.stop");
    EXPECT_EQ(sync_name_of("dir/sub/a"), "dir/sub/KAVSTOP.stop");
}

TEST(SyncFileName, TrailByteOfTheAnsiCodePageIsNoSeparator) {
    // "ソ" is 0x83 0x5C in code page 932: with that code page the 0x5C belongs to
    // the character, elsewhere it is a backslash.
    std::string name = sync_name_of("C:\\work\\ソ.txt");
    if (GetACP() == 932)
        EXPECT_EQ(name, "C:\\work\\KAVSTOP.stop");
    else
        EXPECT_EQ(name, "C:\\work\\\x83\\KAVSTOP.stop");
}

TEST(SyncFileName, RefusesPathsItCannotSplitOrNamesThatWouldNotFit) {
    EXPECT_EQ(sync_name_of(("C:\\" + std::string(256, 'n')).c_str()), "<refused>");
    // Drive and folder of 247 bytes leave room for the 12 of the name and the
    // terminator; one byte more does not fit.
    std::string folder = "C:\\" + std::string(243, 'd') + "\\";
    EXPECT_EQ(sync_name_of((folder + "a.txt").c_str()), folder + "KAVSTOP.stop");
    folder = "C:\\" + std::string(244, 'd') + "\\";
    EXPECT_EQ(sync_name_of((folder + "a.txt").c_str()), "<refused>");
}

const char kCreating[] = "        外部アプリケーション同期ファイルを作成します。(";
const char kThread[] = "        同期スレッドを生成します。";
const char kWaiting[] = "        外部アプリケーション同期ファイルが削除されるまで待機します。";

class UserSyncWait : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(create_cleanup_lock(), 0);
        log_ = dir_.file("report.log");
        ASSERT_EQ(open_report_log(log_.c_str()), 0);
        memset(&ctx_, 0, sizeof ctx_);
        ctx_.mode = 3;
        ctx_.timeout = 1;
        snprintf(ctx_.targetfile, sizeof ctx_.targetfile, "%s", dir_.file("target.txt").c_str());
        sync_ = dir_.file("KAVSTOP.stop");
        user_sync_handle = INVALID_HANDLE_VALUE;
        memset(user_sync_name, 0, sizeof user_sync_name);
        report_calls = 0;
        report_line_hook = [] { ++report_calls; };
    }
    void TearDown() override {
        report_line_hook = nullptr;
        open_report_log("");
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::string text = read_file(log_);
        size_t start = 0, end;
        while ((end = text.find("\r\n", start)) != std::string::npos) {
            out.push_back(text.substr(start, end - start));
            start = end + 2;
        }
        return out;
    }
    // Polls, at most 20 s, until the waiting thread has come to its report line
    // number n (from 1): the user's cue. The log itself is not polled, since a
    // reader holding it open would make the writer lose a line.
    static bool reached_line(int n) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (report_calls < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    static std::atomic<int> report_calls;

    kavtest::TempDir dir_;
    std::string log_;
    std::string sync_;
    CheckContext ctx_;
};

std::atomic<int> UserSyncWait::report_calls;

TEST_F(UserSyncWait, EndsWhenTheUserDeletesTheFile) {
    ctx_.timeout = 60;
    bool seen = false;
    std::thread user([&] {
        seen = reached_line(3);  // the waiting line
        EXPECT_TRUE(file_exists(sync_));
        EXPECT_TRUE(DeleteFileA(sync_.c_str()));
    });
    CheckError error = {0, 0};
    int rc = user_sync_wait(&ctx_, &error);
    user.join();
    EXPECT_TRUE(seen);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(error.code, 0);
    EXPECT_FALSE(file_exists(sync_));
    EXPECT_EQ(user_sync_name[0], '\0');
    std::vector<std::string> expected = {std::string(kCreating) + sync_ + ")", kThread, kWaiting};
    EXPECT_EQ(lines(), expected);
}

std::string hook_sync_name;
bool hook_deleted;

TEST_F(UserSyncWait, FileDeletedBeforeTheWaitEndsItAtOnce) {
    // The deletion happens on the waiting thread itself, at the report line that
    // follows the file's creation: before the watch thread exists. A watch that
    // missed it would run into the timeout and give -1.
    ctx_.timeout = 30;
    hook_sync_name = sync_;
    hook_deleted = false;
    report_line_hook = [] {
        if (!hook_deleted && file_exists(hook_sync_name)) hook_deleted = DeleteFileA(hook_sync_name.c_str()) != 0;
    };
    CheckError error = {0, 0};
    int rc = user_sync_wait(&ctx_, &error);
    report_line_hook = nullptr;
    EXPECT_TRUE(hook_deleted);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(error.code, 0);
}

TEST_F(UserSyncWait, TimeoutWithTheFileHeldOpenStopsTheWatch) {
    // Held without delete sharing, as another program might.
    HANDLE holder = CreateFileA(sync_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    CheckError error = {0, 0};
    int rc = user_sync_wait(&ctx_, &error);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(error.code, 22);
    EXPECT_EQ(error.os_error, 0u);
    EXPECT_TRUE(file_exists(sync_));
    EXPECT_EQ(user_sync_name[0], '\0');
    std::vector<std::string> expected = {std::string(kCreating) + sync_ + ")", kThread, kWaiting,
                                         "        同期ファイルの削除に失敗しました。(32)",
                                         "        同期スレッドを停止します。"};
    EXPECT_EQ(lines(), expected);
    // A second wait on the same file is unaffected by the stopped watch.
    CloseHandle(holder);
    ctx_.timeout = 60;
    std::thread user([&] {
        // The thread line of the second wait: the file has been opened again.
        if (reached_line(7)) DeleteFileA(sync_.c_str());
    });
    EXPECT_EQ(user_sync_wait(&ctx_, &error), 0);
    user.join();
}

TEST_F(UserSyncWait, FailsBeforeWaitingWhenTheFileCannotBeNamedOrMade) {
    CheckError error = {0, 0};
    snprintf(ctx_.targetfile, sizeof ctx_.targetfile, "%s", ("C:\\" + std::string(256, 'n')).c_str());
    EXPECT_EQ(user_sync_wait(&ctx_, &error), -1);
    EXPECT_EQ(error.code, 25);
    EXPECT_TRUE(lines().empty());

    error = {0, 0};
    std::string missing = dir_.file("missing");
    snprintf(ctx_.targetfile, sizeof ctx_.targetfile, "%s\\a.txt", missing.c_str());
    EXPECT_EQ(user_sync_wait(&ctx_, &error), -1);
    EXPECT_EQ(error.code, 29);
    EXPECT_EQ(error.os_error, (uint32_t)ERROR_PATH_NOT_FOUND);
    std::vector<std::string> expected = {std::string(kCreating) + missing + "\\KAVSTOP.stop)"};
    EXPECT_EQ(lines(), expected);
    EXPECT_EQ(user_sync_name[0], '\0');
}

TEST_F(UserSyncWait, CleanupClosesAndDeletesTheRegisteredFileOnce) {
    user_sync_handle = open_share_file(sync_.c_str(), GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_ALWAYS);
    ASSERT_NE(user_sync_handle, INVALID_HANDLE_VALUE);
    snprintf(user_sync_name, sizeof user_sync_name, "%s", sync_.c_str());
    EXPECT_EQ(user_sync_cleanup(CTRL_C_EVENT), FALSE);
    EXPECT_EQ(user_sync_handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file_exists(sync_));
    for (char c : user_sync_name) ASSERT_EQ(c, '\0');
    // Nothing left to do: no second line.
    EXPECT_EQ(user_sync_cleanup(CTRL_C_EVENT), FALSE);
    std::vector<std::string> expected = {"        ファイルを削除しました。(" + sync_ + ")"};
    EXPECT_EQ(lines(), expected);
}

TEST_F(UserSyncWait, AHandlerThatComesAfterTheLockWasDeletedTouchesNothing) {
    snprintf(user_sync_name, sizeof user_sync_name, "%s", sync_.c_str());
    delete_cleanup_lock();
    EXPECT_EQ(user_sync_cleanup(CTRL_C_EVENT), FALSE);
    EXPECT_EQ(std::string(user_sync_name), sync_);
    ASSERT_EQ(create_cleanup_lock(), 0);
    EXPECT_TRUE(lines().empty());
}

}  // namespace
