// The mode double cleanup registry, its console control handler, and the mutual
// tests when no other process comes.
#include <gtest/gtest.h>

#include <string>

#include "base/cleanup_lock.h"
#include "base/report.h"
#include "fsprim/fsprim.h"
#include "mutual/mutual.h"
#include "support/testsupport.h"
#include "sync/sync.h"

namespace {

using kavtest::file_exists;
using kavtest::read_file;

class MutualFixture : public ::testing::Test {
  protected:
    kavtest::TempDir shared;
    kavtest::TempDir target;
    kavtest::TempDir logs;
    std::string log;
    CheckContext ctx{};

    void SetUp() override {
        sync_install();  // as the entry does
        ASSERT_EQ(create_cleanup_lock(), 0);
        log = logs.file("report.log");
        ASSERT_EQ(open_report_log(log.c_str()), 0);
        ctx.mode = 2;
        snprintf(ctx.kavsharepath, sizeof ctx.kavsharepath, "%s", shared.path().c_str());
        snprintf(ctx.targetpath, sizeof ctx.targetpath, "%s", target.path().c_str());
        ctx.timeout = 1;  // short: the command line's minimum does not bind these tests
        mutual_registry.own_handle = INVALID_HANDLE_VALUE;
        mutual_registry.peer_handle = INVALID_HANDLE_VALUE;
        mutual_registry.own_name[0] = '\0';
        mutual_registry.peer_name[0] = '\0';
        mutual_registry.session = nullptr;
    }

    // Registers work file number n of the target path as the own or the peer file, open.
    void register_file(int n, bool own) {
        char *name = own ? mutual_registry.own_name : mutual_registry.peer_name;
        HANDLE *handle = own ? &mutual_registry.own_handle : &mutual_registry.peer_handle;
        ASSERT_EQ(make_work_file_name(2, target.path().c_str(), n, name), 0);
        *handle = open_share_file(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
        ASSERT_NE(*handle, INVALID_HANDLE_VALUE);
    }

    std::string deleted_line(const std::string &name) {
        return "        ファイルを削除しました。(" + name + ")\r\n";
    }

    void expect_registry_empty() {
        EXPECT_EQ(mutual_registry.own_handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(mutual_registry.peer_handle, INVALID_HANDLE_VALUE);
        EXPECT_STREQ(mutual_registry.own_name, "");
        EXPECT_STREQ(mutual_registry.peer_name, "");
        EXPECT_EQ(mutual_registry.session, nullptr);
    }
};

TEST_F(MutualFixture, OrderlyCleanupReleasesLockedFilesAndRunsOnce) {
    register_file(0, true);
    register_file(1, false);
    OVERLAPPED ov{};
    ASSERT_EQ(lock_range(mutual_registry.own_handle, 1, &ov), 0);
    const std::string own = mutual_registry.own_name;
    const std::string peer = mutual_registry.peer_name;

    EXPECT_EQ(mutual_cleanup(0), 0);
    expect_registry_empty();
    EXPECT_FALSE(file_exists(own));
    EXPECT_FALSE(file_exists(peer));
    const std::string report = read_file(log);
    EXPECT_EQ(report, deleted_line(own) + deleted_line(peer));

    // Everything was taken out of the registry: a second run finds nothing to do.
    EXPECT_EQ(mutual_cleanup(0), 0);
    EXPECT_EQ(read_file(log), report);
}

TEST_F(MutualFixture, FileStillOpenInTheOtherProcessIsLeftToIt) {
    register_file(0, true);
    // The other process's handle, opened as the tests open work files: no delete sharing.
    HANDLE other = open_share_file(mutual_registry.own_name, GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    const std::string own = mutual_registry.own_name;

    EXPECT_EQ(mutual_cleanup(0), 0);
    expect_registry_empty();
    EXPECT_TRUE(file_exists(own));
    EXPECT_EQ(read_file(log), "");
    CloseHandle(other);
    EXPECT_EQ(DeleteFileA(own.c_str()), TRUE);
}

// A session as sync_open leaves it after a meeting that has since ended: the
// master file open, no lock bytes recorded.
SyncSession *make_session(const std::string &folder) {
    auto *s = static_cast<SyncSession *>(VirtualAlloc(nullptr, sizeof(SyncSession), MEM_COMMIT | MEM_RESERVE,
                                                      PAGE_READWRITE));
    if (s == nullptr) return nullptr;
    memset(s, 0, sizeof *s);
    snprintf(s->master_path, sizeof s->master_path, "%s\\.#KAVLOCK.master", folder.c_str());
    snprintf(s->endwait_path, sizeof s->endwait_path, "%s\\endwaitfile", folder.c_str());
    s->file = CreateFileA(s->master_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    s->timeout_sec = 1;
    return s;
}

DWORD WINAPI run_handler(LPVOID) { return mutual_ctrl_handler(CTRL_C_EVENT) ? 1 : 0; }

TEST_F(MutualFixture, ControlHandlerReleasesEverythingFromTheSignalThread) {
    register_file(0, true);
    register_file(1, false);
    SyncSession *session = make_session(shared.path());
    ASSERT_NE(session, nullptr);
    ASSERT_NE(session->file, INVALID_HANDLE_VALUE);
    HANDLE endwait = CreateFileA(session->endwait_path, GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    ASSERT_NE(endwait, INVALID_HANDLE_VALUE);
    CloseHandle(endwait);
    mutual_registry.session = session;
    const std::string own = mutual_registry.own_name;
    const std::string peer = mutual_registry.peer_name;

    // The system runs the handler on a thread of its own.
    HANDLE thread = CreateThread(nullptr, 0, run_handler, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    DWORD code = 99;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    CloseHandle(thread);
    EXPECT_EQ(code, 0u);  // FALSE: the next handler, at last the default one, ends the process

    expect_registry_empty();
    EXPECT_FALSE(file_exists(own));
    EXPECT_FALSE(file_exists(peer));
    EXPECT_FALSE(file_exists(session->master_path));
    EXPECT_FALSE(file_exists(session->endwait_path));
    EXPECT_NE(session->released, 0);
    EXPECT_EQ(session->file, INVALID_HANDLE_VALUE);
    // Lines requested on the signal thread are dropped.
    EXPECT_EQ(read_file(log), "");
    VirtualFree(session, 0, MEM_RELEASE);
}

TEST_F(MutualFixture, WithoutAPartnerEveryTestAbortsAndLeavesNothing) {
    // An unknown folder selector aborts before any line or any meeting.
    EXPECT_EQ(mutual_open_test(&ctx, 3), TEST_ABORTED);
    EXPECT_EQ(mutual_lock_test(&ctx, 0), TEST_ABORTED);
    EXPECT_EQ(read_file(log), "");

    const std::string failed = "        同期処理の初期化に失敗しました。\r\n";
    EXPECT_EQ(mutual_open_test(&ctx, FOLDER_SHARED), TEST_ABORTED);
    std::string report = read_file(log);
    EXPECT_NE(report.find("処理待機時間がタイムアウト時間を超えました。"), std::string::npos) << report;
    EXPECT_EQ(report.find(failed), std::string::npos);
    EXPECT_EQ(report.find("処理「"), std::string::npos);  // no step began

    EXPECT_EQ(mutual_lock_test(&ctx, FOLDER_TARGET), TEST_ABORTED);
    report = read_file(log);
    EXPECT_NE(report.find(failed), std::string::npos) << report;

    EXPECT_EQ(mutual_delete_test(&ctx, FOLDER_TARGET), TEST_ABORTED);
    expect_registry_empty();
    EXPECT_FALSE(file_exists(shared.file(".#KAVLOCK.master")));
    EXPECT_FALSE(file_exists(shared.file("endwaitfile")));
    EXPECT_FALSE(file_exists(target.file(".#KAVLOCK.0")));
    EXPECT_FALSE(file_exists(target.file(".#KAVLOCK.1")));
}

}  // namespace
