// Rendezvous of two parties through one-byte locks on a master file.
#pragma once

#include "base/report.h"

struct SyncSession {
    HANDLE file;
    uint32_t info_offset;
    int32_t timeout_sec;
    uint32_t peer_live_offset;
    uint32_t own_live_offset;
    uint32_t role;
    int32_t gate_held;
    int32_t released;
    char master_path[512];
    char endwait_path[512];
    int32_t endwait_stale;  // an end-wait file stood at the opening: the close does not trust it
};

// kind: MODE_SINGLE, two threads of one process; MODE_DOUBLE, two processes.
SyncSession *sync_open(int kind, const char *folder, int32_t timeout_sec);
int sync_close(SyncSession *session);
enum { SESSION_KEEP_FILES = 0, SESSION_DELETE_FILES = 1 };
void sync_release(SyncSession *session, int delete_files);
int probe_peer_alive(SyncSession *session, CheckError *error);
int sync_point(SyncSession *session);
int sync_handshake(SyncSession *session);
BOOL WINAPI sync_ctrl_handler(DWORD ctrl_type);
// The report's line hook of every process that opens sessions (report_line_hook):
// a line is a stop point of an opening thread that the handler asked to stop.
void sync_report_hook(void);
// Installs the hook and the rendezvous entries of the table of calls; done by the
// entry (and whatever stands in for it) before any thread writes a line.
void sync_install(void);
