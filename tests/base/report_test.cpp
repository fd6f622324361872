// Report line formats, depth, writer thread, log-file appending and error lines.
#include "base/report.h"

#include <gtest/gtest.h>

#include <string>

#include "support/testsupport.h"

namespace {

// The report writes to a log file in a fresh folder; each test reads back what
// its own operations appended.
class ReportTest : public ::testing::Test {
  protected:
    void SetUp() override {
        log_ = dir_.file("report.log");
        ASSERT_EQ(0, open_report_log(log_.c_str()));
    }
    std::string log() const { return kavtest::read_file(log_); }

    kavtest::TempDir dir_;
    std::string log_;
};

// The system text of an error as an error line carries it.
std::string system_text(DWORD code) {
    char *text = nullptr;
    DWORD n = FormatMessageA(0x13FF, NULL, code, 0x0400, (LPSTR)&text, 0, NULL);
    std::string s = (n != 0 && text != nullptr) ? std::string(text) : std::string();
    if (text != nullptr) LocalFree(text);
    return s;
}

TEST_F(ReportTest, NestedTitlesIndentTwoSpacesPerLevelAndEndWithOkOrNg) {
    report_begin("outer");
    report_begin("inner");
    report_info("detail");
    report_end("inner", TEST_OK);
    report_end("outer", TEST_ABORTED);
    report_begin("after");
    report_end("after", TEST_NG);
    EXPECT_EQ("テスト outerを開始します。\r\n"
              "  テスト innerを開始します。\r\n"
              "        detail\r\n"
              "  テスト innerが終了しました。 ... [ OK ]\r\n"
              "テスト outerが終了しました。 ... [ NG ]\r\n"
              "テスト afterを開始します。\r\n"
              "テスト afterが終了しました。 ... [ NG ]\r\n",
              log());
}

TEST_F(ReportTest, ErrorLinesWithAndWithoutMarkerAndSystemText) {
    CheckError plain = {7, 0};
    CheckError with_os = {9, 2};
    report_error(&plain);
    report_error_info(&plain);
    report_error(&with_os);
    report_error_info(&with_os);
    std::string text = system_text(2);
    // The single-line form: line breaks of the message table are gone.
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(std::string::npos, text.find_first_of("\r\n"));
    std::string m7 = "確認対象パスのファイルを開くことができてしまいました。";
    std::string m9 = "確認対象パスのファイルを開く時にエラーが発生しました。";
    EXPECT_EQ("        ! " + m7 + "\r\n" +
                  "        " + m7 + "\r\n" +
                  "        ! " + m9 + " ERRORCODE=2(" + text + ")\r\n" +
                  "        " + m9 + " ERRORCODE=2(" + text + ")\r\n",
              log());
}

TEST_F(ReportTest, ErrorWithoutSystemTextEndsInEmptyParentheses) {
    // No system message has this number; the operating-system error prints signed.
    CheckError unknown = {22, 0xE0001234u};
    ASSERT_EQ("", system_text(unknown.os_error));
    report_error(&unknown);
    EXPECT_EQ("        ! 処理待機時間がタイムアウト時間を超えました。 ERRORCODE=-536866252()\r\n", log());
}

TEST_F(ReportTest, CodesOutsideTheTableWriteNothing) {
    for (int32_t code : {0, 1, 2, 3, 34, -1}) {
        CheckError error = {code, 5};
        report_error(&error);
        report_error_info(&error);
        error.os_error = 0;
        report_error(&error);
    }
    report_error(nullptr);
    report_error_info(nullptr);
    EXPECT_EQ("", log());
}

TEST(CheckErrorTable, LookupStopsBeforeTheTerminator) {
    const CheckErrorEntry *entry = check_error_table;
    for (; entry->message != nullptr; ++entry) EXPECT_EQ(entry->message, check_error_message(entry->code));
    EXPECT_EQ(0, entry->code);
    EXPECT_EQ(nullptr, check_error_message(0));
    EXPECT_EQ(nullptr, check_error_message(3));
    EXPECT_STREQ("ロックの開放に失敗しました。", check_error_message(10));
}

TEST(SetCheckError, TakesTheLastErrorAndToleratesNoRecord) {
    CheckError error = {0, 0};
    SetLastError(ERROR_SHARING_VIOLATION);
    set_check_error(&error, CHECK_TARGET_NOT_OPENED);
    EXPECT_EQ(5, error.code);
    EXPECT_EQ((uint32_t)ERROR_SHARING_VIOLATION, error.os_error);
    SetLastError(ERROR_ACCESS_DENIED);
    set_check_error(nullptr, CHECK_SHARED_NOT_OPENED);
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
}

TEST_F(ReportTest, OperationsKeepTheCallersLastError) {
    // Opening the log with OPEN_ALWAYS sets 183; a caller that writes a detail line
    // between a failure and set_check_error must still see its own error.
    SetLastError(ERROR_LOCK_VIOLATION);
    report_info("line");
    CheckError error = {0, 0};
    set_check_error(&error, CHECK_EXCLUSIVE_NO_WAIT_FAILED);
    EXPECT_EQ((uint32_t)ERROR_LOCK_VIOLATION, error.os_error);
    SetLastError(ERROR_FILE_NOT_FOUND);
    report_begin("t");
    report_end("t", TEST_OK);
    report_error(&error);
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

DWORD WINAPI other_thread(LPVOID) {
    CheckError error = {7, 0};
    report_begin("thread");
    report_info("thread detail");
    report_infof("%s %d", "thread", 1);
    report_error(&error);
    report_error_info(&error);
    report_begin("unbalanced");
    return 0;
}

TEST_F(ReportTest, OtherThreadsWriteNothingAndLeaveTheDepth) {
    HANDLE thread = CreateThread(NULL, 0, other_thread, nullptr, 0, NULL);
    ASSERT_NE((HANDLE)NULL, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
    CloseHandle(thread);
    report_begin("main");
    report_end("main", TEST_OK);
    EXPECT_EQ("テスト mainを開始します。\r\n"
              "テスト mainが終了しました。 ... [ OK ]\r\n",
              log());
}

TEST_F(ReportTest, AppendsToAnExistingLog) {
    std::string existing = dir_.file("existing.log");
    HANDLE h = CreateFileA(existing.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "earlier\r\n", 9, &written, NULL));
    CloseHandle(h);
    ASSERT_EQ(0, open_report_log(existing.c_str()));
    report_info("one");
    report_info("two");
    EXPECT_EQ("earlier\r\n        one\r\n        two\r\n", kavtest::read_file(existing));
}

TEST_F(ReportTest, LineLostOnlyWhileTheLogIsHeldOpen) {
    report_info("before");
    HANDLE holder = CreateFileA(log_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    report_info("lost");
    CloseHandle(holder);
    report_info("after");
    EXPECT_EQ("        before\r\n        after\r\n", log());
}

TEST_F(ReportTest, UnopenableLogIsRefusedAndKeepsTheCurrentOne) {
    std::string missing = dir_.file("no-such-folder\\report.log");
    EXPECT_EQ(-1, open_report_log(missing.c_str()));
    EXPECT_EQ(-1, open_report_log(dir_.path().c_str()));  // a folder
    report_info("still here");
    EXPECT_EQ("        still here\r\n", log());
}

TEST_F(ReportTest, FormattedDetailLine) {
    report_infof("ファイルを削除しました。(%s)", "C:\\x\\.#KAVLOCK.0");
    report_infof("%d/%u", -3, 7u);
    EXPECT_EQ("        ファイルを削除しました。(C:\\x\\.#KAVLOCK.0)\r\n        -3/7\r\n", log());
}

// Keeps the head of an overlong line and its CR LF, and never splits a character.
TEST_F(ReportTest, OverlongLineIsCutToTheBufferWithItsLineEnd) {
    std::string ascii(2000, 'a');
    report_info(ascii.c_str());
    std::string dbcs;
    for (int i = 0; i < 1000; ++i) dbcs += "あ";  // 0x82 0xA0 in code page 932
    report_infof("%s", dbcs.c_str());
    CheckError error = {5, 2};
    report_error(&error);

    std::string all = log();
    size_t first_end = all.find("\r\n");
    ASSERT_NE(std::string::npos, first_end);
    EXPECT_EQ("        " + std::string(REPORT_LINE_MAX - 3 - 8, 'a') + "\r\n", all.substr(0, first_end + 2));
    std::string rest = all.substr(first_end + 2);
    size_t second_end = rest.find("\r\n");
    ASSERT_NE(std::string::npos, second_end);
    std::string second = rest.substr(0, second_end);
    // With a double-byte code page the cut falls before the character that would
    // straddle the limit; with a single-byte one every byte is a character.
    size_t expected = GetACP() == 932 ? REPORT_LINE_MAX - 4 : REPORT_LINE_MAX - 3;
    EXPECT_EQ(expected, second.size());
    EXPECT_EQ("        " + dbcs.substr(0, expected - 8), second);
    // The next line is whole.
    EXPECT_EQ(0u, rest.substr(second_end + 2).find("        ! 確認対象パスのファイルを開くことができませんでした。"));
}

int hook_calls;
void counting_hook(void) { ++hook_calls; }

TEST_F(ReportTest, LineHookRunsBeforeEveryOperation) {
    hook_calls = 0;
    report_line_hook = counting_hook;
    CheckError error = {7, 0};
    report_begin("t");
    report_info("i");
    report_infof("%d", 1);
    report_error(&error);
    report_error_info(&error);
    report_end("t", TEST_OK);
    report_line_hook = nullptr;
    EXPECT_EQ(6, hook_calls);
    report_info("unhooked");
    EXPECT_EQ(6, hook_calls);
}

}  // namespace
