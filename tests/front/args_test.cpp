// Command-line rules of parse_arguments, and the split of a target path.
#include "front/args.h"
#include "base/pathsplit.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ParseCase {
    const char *name;
    std::vector<std::string> args;  // after the program name
    int result;
    int32_t mode;
    int32_t timeout;
    const char *targetpath;
};

const std::string v200(200, 'p');
const std::string v201(201, 'p');

const ParseCase parse_cases[] = {
    // Mode and its word.
    {"no arguments", {}, -1, 0, 0, ""},
    {"only the mode", {"-m", "single"}, -1, 0, 0, ""},
    {"single", {"-m", "single", "-p", "P", "-h", "H"}, 0, 1, 30, "P"},
    {"double", {"-m", "double", "-h", "H", "-p", "P"}, 0, 2, 30, "P"},
    {"userapl", {"-m", "userapl", "-f", "F"}, 0, 3, 30, ""},
    {"mode twice, same word", {"-m", "single", "-m", "single", "-p", "P", "-h", "H"}, -1, 0, 0, ""},
    {"mode word in other case", {"-m", "Single", "-p", "P", "-h", "H"}, -1, 0, 0, ""},
    {"empty mode word", {"-m", "", "-p", "P", "-h", "H"}, -1, 0, 0, ""},
    {"mode without word", {"-p", "P", "-h", "H", "-m"}, -1, 0, 0, ""},
    // Text options.
    {"option in other case", {"-m", "single", "-P", "P", "-h", "H"}, -1, 0, 0, ""},
    {"stray value", {"-m", "single", "-p", "P", "-h", "H", "extra"}, -1, 0, 0, ""},
    {"unknown option", {"-m", "single", "-p", "P", "-h", "H", "-x", "1"}, -1, 0, 0, ""},
    {"-p twice", {"-m", "single", "-p", "P", "-p", "Q", "-h", "H"}, -1, 0, 0, ""},
    {"-p empty then set", {"-m", "single", "-p", "", "-p", "Q", "-h", "H"}, 0, 1, 30, "Q"},
    {"-p set then empty", {"-m", "single", "-p", "Q", "-p", "", "-h", "H"}, -1, 0, 0, ""},
    {"-p only empty", {"-m", "single", "-p", "", "-h", "H"}, -1, 0, 0, ""},
    {"-o without value", {"-m", "single", "-p", "P", "-h", "H", "-o"}, -1, 0, 0, ""},
    {"200 bytes", {"-m", "single", "-p", v200, "-h", "H", "-o", v200}, 0, 1, 30, v200.c_str()},
    {"201 bytes", {"-m", "single", "-p", v201, "-h", "H"}, -1, 0, 0, ""},
    {"201 bytes in -o", {"-m", "single", "-p", "P", "-h", "H", "-o", v201}, -1, 0, 0, ""},
    // Combinations.
    {"single with -f", {"-m", "single", "-p", "P", "-h", "H", "-f", "F"}, -1, 0, 0, ""},
    {"double without -h", {"-m", "double", "-p", "P"}, -1, 0, 0, ""},
    {"single without -p", {"-m", "single", "-h", "H"}, -1, 0, 0, ""},
    {"userapl with -p", {"-m", "userapl", "-f", "F", "-p", "P"}, -1, 0, 0, ""},
    {"userapl with -h", {"-m", "userapl", "-f", "F", "-h", "H"}, -1, 0, 0, ""},
    {"userapl without -f", {"-m", "userapl", "-o", "L"}, -1, 0, 0, ""},
    {"userapl with empty -p", {"-m", "userapl", "-f", "F", "-p", ""}, 0, 3, 30, ""},
    // Timeout.
    {"-t 10", {"-m", "userapl", "-f", "F", "-t", "10"}, 0, 3, 10, ""},
    {"-t 600", {"-m", "userapl", "-f", "F", "-t", "600"}, 0, 3, 600, ""},
    {"-t 9", {"-m", "userapl", "-f", "F", "-t", "9"}, -1, 0, 0, ""},
    {"-t 601", {"-m", "userapl", "-f", "F", "-t", "601"}, -1, 0, 0, ""},
    {"-t 30 and letters", {"-m", "userapl", "-f", "F", "-t", "30sec"}, 0, 3, 30, ""},
    {"-t blanks and sign", {"-m", "userapl", "-f", "F", "-t", " \t+045"}, 0, 3, 45, ""},
    {"-t leading zeros", {"-m", "userapl", "-f", "F", "-t", "0000000000000000000000000600"}, 0, 3, 600, ""},
    {"-t no digits", {"-m", "userapl", "-f", "F", "-t", "abc"}, -1, 0, 0, ""},
    {"-t empty", {"-m", "userapl", "-f", "F", "-t", ""}, -1, 0, 0, ""},
    {"-t sign only", {"-m", "userapl", "-f", "F", "-t", "-"}, -1, 0, 0, ""},
    {"-t negative", {"-m", "userapl", "-f", "F", "-t", "-30"}, -1, 0, 0, ""},
    // 2^32 + 30 would read as 30 if the value wrapped at 32 bits instead of clamping.
    {"-t wraps to 30 if not clamped", {"-m", "userapl", "-f", "F", "-t", "4294967326"}, -1, 0, 0, ""},
    {"-t huge", {"-m", "userapl", "-f", "F", "-t", "99999999999999999999999999"}, -1, 0, 0, ""},
    {"-t twice", {"-m", "userapl", "-f", "F", "-t", "30", "-t", "30"}, -1, 0, 0, ""},
    {"-t empty then set", {"-m", "userapl", "-f", "F", "-t", "", "-t", "30"}, -1, 0, 0, ""},
    {"-t last", {"-m", "userapl", "-f", "F", "-t"}, -1, 0, 0, ""},
};

TEST(ParseArguments, Table) {
    for (const ParseCase &c : parse_cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> storage = {"kavprobe"};
        storage.insert(storage.end(), c.args.begin(), c.args.end());
        std::vector<char *> argv;
        for (std::string &s : storage) argv.push_back(&s[0]);
        argv.push_back(nullptr);
        CheckContext ctx;
        memset(&ctx, 0, sizeof ctx);
        int result = parse_arguments((int)storage.size(), argv.data(), &ctx);
        EXPECT_EQ(c.result, result);
        if (result != 0 || c.result != 0) continue;
        EXPECT_EQ(c.mode, ctx.mode);
        EXPECT_EQ(c.timeout, ctx.timeout);
        EXPECT_STREQ(c.targetpath, ctx.targetpath);
    }
}

TEST(ParseArguments, StoresEveryValueInItsField) {
    const char *args[] = {"kavprobe", "-o", "L", "-t", "45", "-h", "H", "-m", "double", "-p", "P", nullptr};
    CheckContext ctx;
    memset(&ctx, 0, sizeof ctx);
    ASSERT_EQ(0, parse_arguments(11, const_cast<char **>(args), &ctx));
    EXPECT_EQ(2, ctx.mode);
    EXPECT_STREQ("H", ctx.kavsharepath);
    EXPECT_STREQ("P", ctx.targetpath);
    EXPECT_STREQ("", ctx.targetfile);
    EXPECT_EQ(45, ctx.timeout);
    EXPECT_STREQ("L", ctx.logfile);
}

struct SplitCase {
    const char *path;
    int result;
    const char *drive;
    const char *dir;
    const char *fname;
    const char *ext;
};

TEST(SplitPath, DriveFolderNameAndExtension) {
    const SplitCase cases[] = {
        {"C:\\dir\\sub\\name.ext", 0, "C:", "\\dir\\sub\\", "name", ".ext"},
        {"C:name.ext", 0, "C:", "", "name", ".ext"},
        {"name", 0, "", "", "name", ""},
        {"a/b\\c.d.e", 0, "", "a/b\\", "c.d", ".e"},
        {"dir.x\\name", 0, "", "dir.x\\", "name", ""},
        {"dir\\", 0, "", "dir\\", "", ""},
        {"dir\\.ext", 0, "", "dir\\", "", ".ext"},
        {"\\\\server\\share\\f.txt", 0, "", "\\\\server\\share\\", "f", ".txt"},
        {"", 0, "", "", "", ""},
    };
    for (const SplitCase &c : cases) {
        SplitPath out;
        ASSERT_EQ(c.result, split_path(c.path, &out)) << c.path;
        EXPECT_STREQ(c.drive, out.drive) << c.path;
        EXPECT_STREQ(c.dir, out.dir) << c.path;
        EXPECT_STREQ(c.fname, out.fname) << c.path;
        EXPECT_STREQ(c.ext, out.ext) << c.path;
    }
}

TEST(SplitPath, PartsThatDoNotFitEmptyEverything) {
    SplitPath out;
    std::string dir255 = std::string(254, 'd') + "\\";
    ASSERT_EQ(0, split_path((dir255 + "f").c_str(), &out));
    EXPECT_EQ(dir255, out.dir);
    std::string dir256 = std::string(255, 'd') + "\\";
    EXPECT_EQ(-1, split_path(("C:" + dir256 + "f.e").c_str(), &out));
    EXPECT_STREQ("", out.drive);
    EXPECT_STREQ("", out.dir);
    EXPECT_STREQ("", out.fname);
    EXPECT_STREQ("", out.ext);
    EXPECT_EQ(-1, split_path(("x\\" + std::string(256, 'n')).c_str(), &out));
    EXPECT_EQ(-1, split_path(("x\\n." + std::string(255, 'e')).c_str(), &out));
    ASSERT_EQ(0, split_path(("x\\n." + std::string(254, 'e')).c_str(), &out));
    EXPECT_EQ(255u, strlen(out.ext));
}

// ソ is 0x83 0x5C in code page 932: with that code page its trail byte is no
// separator; with a single-byte code page it is one.
TEST(SplitPath, TrailByteIsNoSeparatorInTheDoubleByteCodePage) {
    SplitPath out;
    ASSERT_EQ(0, split_path("c:\\ソフト.bin", &out));
    EXPECT_STREQ("c:", out.drive);
    EXPECT_STREQ(".bin", out.ext);
    if (GetACP() == 932) {
        EXPECT_STREQ("\\", out.dir);
        EXPECT_STREQ("ソフト", out.fname);
    } else {
        EXPECT_STREQ("\\\x83\\", out.dir);
        EXPECT_STREQ("\x83\x74\x83\x67", out.fname);
    }
    // A lead byte just before the terminator stands alone.
    ASSERT_EQ(0, split_path("d\\a.b\x83", &out));
    EXPECT_STREQ("d\\", out.dir);
    EXPECT_STREQ("a", out.fname);
    EXPECT_STREQ(".b\x83", out.ext);
}

}  // namespace
