// Prints the process's ANSI code page and its DBCS lead bytes as ranges, e.g.
// "acp 932 leads 81-9f e0-fc" or "acp 65001 leads none".
#include "platform/win32.h"

int main() {
    char line[256];
    int len = snprintf(line, sizeof line, "acp %u leads", GetACP());
    int start = -1;
    bool any = false;
    for (int b = 0; b <= 256; ++b) {
        bool lead = b < 256 && IsDBCSLeadByte((BYTE)b);
        if (lead && start < 0) start = b;
        if (!lead && start >= 0) {
            len += snprintf(line + len, sizeof line - (size_t)len, " %02x-%02x", start, b - 1);
            start = -1;
            any = true;
        }
    }
    if (!any) snprintf(line + len, sizeof line - (size_t)len, " none");
    puts(line);
    return 0;
}
