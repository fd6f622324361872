// Fuzz target: the report's line formatting with long and code-page-932 texts.
// The input is a program of report operations; every line that reaches the
// console (the standard output stream, captured) must be the line the format gives or, when that exceeds the line buffer,
// its head cut after a whole character and ended with CR LF. Depth and
// indentation follow the begin and end lines.
//
// Program: a sequence of operations, each one byte followed by its operands:
//   0 begin, 1 end, 2 info, 3 infof("%s"), 4 error, 5 error without marker,
//   6 many begins with an empty title (count byte)
// Texts are a two-byte little-endian length and that many bytes (cut at a NUL as
// any C string is); errors take a code byte and four bytes of system error.
#include "base/report.h"
#include "fuzz_common.h"
#include "platform/win32.h"

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace {

bool lead_byte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

struct Reader {
    const uint8_t *p;
    size_t left;
    bool byte(uint8_t *out) {
        if (left == 0) return false;
        *out = *p++;
        --left;
        return true;
    }
    bool text(std::string *out) {
        uint8_t lo, hi;
        if (!byte(&lo) || !byte(&hi)) return false;
        size_t n = (size_t)lo | (size_t)hi << 8;
        if (n > left) n = left;
        out->assign((const char *)p, n);
        p += n;
        left -= n;
        return true;
    }
};

// The line as written: the whole line when it fits the buffer, else its head of at
// most REPORT_LINE_MAX - 3 bytes ending on a character boundary, then CR LF.
std::string as_written(const std::string &line) {
    if (line.size() < REPORT_LINE_MAX) return line;
    const size_t keep_max = REPORT_LINE_MAX - 3;
    size_t keep = 0;
    for (size_t i = 0; i < line.size();) {
        size_t width = lead_byte((unsigned char)line[i]) && i + 1 < line.size() ? 2 : 1;
        if (i + width > keep_max) break;
        i += width;
        keep = i;
    }
    return line.substr(0, keep) + "\r\n";
}

std::string system_text(uint32_t code) {
    char *text = nullptr;
    std::string out;
    DWORD n = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             NULL, code, 0x0400, (LPSTR)&text, 0, NULL);
    if (n != 0 && text != nullptr) out.assign(text, strnlen(text, 1024));
    if (text != nullptr) LocalFree(text);
    return out;
}

std::string hex(const uint8_t *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size && i < 256; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

int depth;  // the depth the report must be at between inputs: 0

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("LC_ALL", "ja_JP.SJIS", 1);
    fuzz_enter_work_folder("kavfuzz-report");  // for the capture's scratch file
    if (open_report_log("") != 0) fuzz_fail("open_report_log", "console");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 16384) return -1;
    fuzz_capture_begin(1);
    std::string want;
    Reader in{data, size};
    uint8_t op;
    int ops = 0;
    while (ops++ < 64 && in.byte(&op)) {
        std::string raw;
        switch (op % 7) {
        case 0:
        case 1:
        case 2:
        case 3: {
            uint8_t result = 0;
            if (op % 7 == 1 && !in.byte(&result)) break;
            if (!in.text(&raw)) break;
            std::unique_ptr<char[]> block(new char[raw.size() + 1]);
            memcpy(block.get(), raw.data(), raw.size());
            block[raw.size()] = '\0';
            std::string text = block.get();
            if (op % 7 == 0) {
                want += as_written(std::string(2 * depth, ' ') + "テスト " + text + "を開始します。\r\n");
                ++depth;
                report_begin(block.get());
            } else if (op % 7 == 1) {
                TestResult r = (TestResult)(int8_t)result % 3;
                if (depth > 0) --depth;
                want += as_written(std::string(2 * depth, ' ') + "テスト " + text + "が終了しました。 ... [ " +
                                   (r == TEST_OK ? "OK" : "NG") + " ]\r\n");
                report_end(block.get(), r);
            } else {
                want += as_written("        " + text + "\r\n");
                if (op % 7 == 2) report_info(block.get());
                else report_infof("%s", block.get());
            }
            break;
        }
        case 4:
        case 5: {
            uint8_t code, b[4];
            if (!in.byte(&code) || !in.byte(&b[0]) || !in.byte(&b[1]) || !in.byte(&b[2]) || !in.byte(&b[3])) break;
            CheckError e;
            e.code = (int32_t)(code % 40) - 2;
            e.os_error = (uint32_t)b[0] | (uint32_t)b[1] << 8 | (uint32_t)b[2] << 16 | (uint32_t)b[3] << 24;
            if (b[3] < 0xF0) e.os_error &= 0x3FFF;  // mostly codes that have a text
            const char *message = check_error_message(e.code);
            if (message != nullptr) {
                std::string line = std::string("        ") + (op % 7 == 4 ? "! " : "") + message;
                if (e.os_error != 0)
                    line += " ERRORCODE=" + std::to_string((int)e.os_error) + "(" + system_text(e.os_error) + ")";
                want += as_written(line + "\r\n");
            }
            if (op % 7 == 4) report_error(&e);
            else report_error_info(&e);
            break;
        }
        case 6: {
            uint8_t count;
            if (!in.byte(&count)) break;
            // Deep enough for an indentation past the line buffer, and no deeper.
            for (int i = 0; i < count * 4 && depth < 600; ++i) {
                want += as_written(std::string(2 * depth, ' ') + "テスト を開始します。\r\n");
                ++depth;
                report_begin("");
            }
            break;
        }
        }
    }
    std::string got = fuzz_capture_end();
    if (got != want) {
        size_t at = 0;
        while (at < got.size() && at < want.size() && got[at] == want[at]) ++at;
        fuzz_fail("log differs from the formatted lines",
                  "input " + hex(data, size) + "\nfirst difference at byte " + std::to_string(at) + " of " +
                      std::to_string(got.size()) + "/" + std::to_string(want.size()));
    }
    // Back to depth 0 for the next input, out of sight.
    fuzz_capture_begin(1);
    while (depth > 0) {
        --depth;
        report_end("", TEST_OK);
    }
    fuzz_capture_end();
    return 0;
}
