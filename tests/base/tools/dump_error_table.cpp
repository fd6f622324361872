// Prints the check error table as the tool holds it, one entry a line: the code
// in decimal, a space, and the message's code page 932 bytes in hex. Hex keeps
// the bytes clear of any text-mode translation of the console.
#include <cstdio>

#include "base/report.h"

int main() {
    for (const CheckErrorEntry *entry = check_error_table; entry->message != nullptr; ++entry) {
        printf("%d ", (int)entry->code);
        for (const unsigned char *p = (const unsigned char *)entry->message; *p != 0; ++p) printf("%02x", *p);
        printf("\n");
    }
    return 0;
}
