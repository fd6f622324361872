// Stand-in for the external application of mode userapl: opens, holds and closes
// files on command, through the same Win32 layer as the tool, so that share modes
// between the two are real.
//
// One command per line on standard input, one answer line on standard output:
//   open SLOT ACCESS SHARE DISPOSITION PATH   -> "ok" or "err N"
//     ACCESS: r, w, rw or 0; SHARE: any of r, w, d, or - for none;
//     DISPOSITION: new, always, existing
//   close SLOT                                -> "ok" or "err N"
//   quit                                      -> ends (open handles are closed)
// A malformed command answers "bad".
#include "platform/win32.h"

namespace {

enum { SLOTS = 8, LINE_MAX_BYTES = 1024 };

HANDLE slots[SLOTS];

bool parse_access(const char *text, DWORD *access) {
    if (strcmp(text, "r") == 0) *access = GENERIC_READ;
    else if (strcmp(text, "w") == 0) *access = GENERIC_WRITE;
    else if (strcmp(text, "rw") == 0) *access = GENERIC_READ | GENERIC_WRITE;
    else if (strcmp(text, "0") == 0) *access = 0;
    else return false;
    return true;
}

bool parse_share(const char *text, DWORD *share) {
    *share = 0;
    if (strcmp(text, "-") == 0) return true;
    for (const char *p = text; *p != '\0'; ++p) {
        if (*p == 'r') *share |= FILE_SHARE_READ;
        else if (*p == 'w') *share |= FILE_SHARE_WRITE;
        else if (*p == 'd') *share |= FILE_SHARE_DELETE;
        else return false;
    }
    return true;
}

bool parse_disposition(const char *text, DWORD *disposition) {
    if (strcmp(text, "new") == 0) *disposition = CREATE_NEW;
    else if (strcmp(text, "always") == 0) *disposition = OPEN_ALWAYS;
    else if (strcmp(text, "existing") == 0) *disposition = OPEN_EXISTING;
    else return false;
    return true;
}

bool parse_slot(const char *text, int *slot) {
    if (text[0] < '0' || text[0] >= '0' + SLOTS || text[1] != '\0') return false;
    *slot = text[0] - '0';
    return true;
}

void answer(const char *text) {
    printf("%s\n", text);
    fflush(stdout);
}

void answer_error(DWORD error) {
    printf("err %lu\n", (unsigned long)error);
    fflush(stdout);
}

// Takes the next space-separated word of *cursor; the rest stays in *cursor.
char *next_word(char **cursor) {
    char *word = *cursor;
    char *space = strchr(word, ' ');
    if (space == nullptr) {
        *cursor = word + strlen(word);
    } else {
        *space = '\0';
        *cursor = space + 1;
    }
    return word;
}

void run_open(char *args) {
    int slot;
    DWORD access, share, disposition;
    const char *slot_text = next_word(&args);
    const char *access_text = next_word(&args);
    const char *share_text = next_word(&args);
    const char *disposition_text = next_word(&args);
    const char *path = args;
    if (!parse_slot(slot_text, &slot) || !parse_access(access_text, &access) || !parse_share(share_text, &share) ||
        !parse_disposition(disposition_text, &disposition) || path[0] == '\0' ||
        slots[slot] != INVALID_HANDLE_VALUE) {
        answer("bad");
        return;
    }
    HANDLE file = CreateFileA(path, access, share, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        answer_error(GetLastError());
        return;
    }
    slots[slot] = file;
    answer("ok");
}

void run_close(char *args) {
    int slot;
    if (!parse_slot(next_word(&args), &slot) || slots[slot] == INVALID_HANDLE_VALUE) {
        answer("bad");
        return;
    }
    BOOL closed = CloseHandle(slots[slot]);
    slots[slot] = INVALID_HANDLE_VALUE;
    if (closed) answer("ok");
    else answer_error(GetLastError());
}

}  // namespace

int main() {
    platform_binary_stdio();
    for (HANDLE &h : slots) h = INVALID_HANDLE_VALUE;
    char line[LINE_MAX_BYTES];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        line[strcspn(line, "\r\n")] = '\0';
        char *args = line;
        const char *verb = next_word(&args);
        if (strcmp(verb, "open") == 0) run_open(args);
        else if (strcmp(verb, "close") == 0) run_close(args);
        else if (strcmp(verb, "quit") == 0) break;
        else answer("bad");
    }
    for (HANDLE &h : slots)
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    return 0;
}
