// Sync points: the handshake through which two parties meet on a pair of bytes
// of the master file, and the hand-over from one pair to the next.
#include "sync/sync_internal.h"

namespace {

// Polls the gate byte until it is granted. 0 granted; -1 timed out or failed, the
// error filled in.
int take_gate(SyncSession *session, time_t start, CheckError *error) {
    for (;;) {
        if (sync_lock_byte(session, SYNC_BYTE_GATE, 1)) {
            session->gate_held = 1;
            return 0;
        }
        if (sync_refused_step(session, start, error) != 0) return -1;
    }
}

// Gives up the gate byte when held. 0, or -1 with the unlock's error.
int give_gate(SyncSession *session, CheckError *error) {
    if (!session->gate_held) return 0;
    session->gate_held = 0;
    return sync_unlock_checked(session, SYNC_BYTE_GATE, error);
}

// The two roles of the opening handshake.
void settle_roles(SyncSession *session, uint32_t role) {
    if (session->own_live_offset != 0) return;
    session->role = role;
    session->own_live_offset = role == 0 ? SYNC_BYTE_LIVE_ROLE0 : SYNC_BYTE_LIVE_ROLE1;
    session->peer_live_offset = role == 0 ? SYNC_BYTE_LIVE_ROLE1 : SYNC_BYTE_LIVE_ROLE0;
}

// The party that took byte L waits until the other has taken L+1. 0 met; -1 with the error.
int wait_for_peer(SyncSession *session, time_t start, CheckError *error) {
    const DWORD second = session->info_offset + 1;
    for (;;) {
        if (give_gate(session, error) != 0) return -1;  // lets the other party act
        if (sync_wait_step(session, start, error) != 0) return -1;
        if (take_gate(session, start, error) != 0) return -1;
        if (!sync_lock_byte(session, second, 1)) {
            const DWORD err = GetLastError();
            if (err == ERROR_LOCK_VIOLATION) {
                settle_roles(session, 0);
                return 0;
            }
            set_check_error(error, CHECK_EXCLUSIVE_NO_WAIT_FAILED, err);
            return -1;
        }
        if (sync_unlock_checked(session, second, error) != 0) return -1;
        // At the opening the other party's liveness byte is not known yet.
        if (session->own_live_offset != 0 && probe_peer_alive(session, error) == 0) return -1;
    }
}

// Steps of the handshake after the gate is held, up to the release of the
// in-progress byte. 0 met; -1 with the error.
int meet(SyncSession *session, time_t start, CheckError *error) {
    const bool opening = session->own_live_offset == 0;
    report_info("同期処理中情報を設定します。");
    if (!sync_lock_byte(session, SYNC_BYTE_IN_PROGRESS, 0)) {
        set_check_error(error, CHECK_SHARED_NO_WAIT_FAILED, GetLastError());
        return -1;
    }
    report_info("同期情報を設定します。");
    if (sync_lock_byte(session, session->info_offset, 1)) {
        report_info("相手の同期情報が設定されるまで待機します。");
        if (wait_for_peer(session, start, error) != 0) return -1;
    } else {
        const DWORD err = GetLastError();
        report_info("相手が既に同期情報を設定済みです。");
        if (err != ERROR_LOCK_VIOLATION) {
            set_check_error(error, CHECK_EXCLUSIVE_NO_WAIT_FAILED, err);
            return -1;
        }
        session->info_offset += 1;
        report_info("同期情報を再設定します。");
        if (!sync_lock_byte(session, session->info_offset, 1)) {
            set_check_error(error, CHECK_EXCLUSIVE_NO_WAIT_FAILED, GetLastError());
            return -1;
        }
        settle_roles(session, 1);
    }
    if (opening) sync_note_stale_endwait(session);
    report_info("同期処理中情報を開放します。");
    return sync_unlock_checked(session, SYNC_BYTE_IN_PROGRESS, error);
}

}  // namespace

int sync_handshake(SyncSession *session) {
    const time_t start = sync_now();
    CheckError error = {0, 0};
    report_info("同期前処理を実行します。");
    if (take_gate(session, start, &error) != 0) {
        report_error(&error);
        return -1;
    }
    if (meet(session, start, &error) != 0) {
        // The sync-info byte taken stays held; it goes with the session.
        report_error(&error);
        sync_unlock_byte(session, SYNC_BYTE_IN_PROGRESS);
        CheckError ignored;
        give_gate(session, &ignored);
        return -1;
    }
    report_info("同期後処理を実行します。");
    if (give_gate(session, &error) != 0) {
        report_error(&error);
        return -1;
    }
    report_info("同期しました。");
    return 0;
}

int sync_point(SyncSession *session) {
    const time_t start = sync_now();
    CheckError error = {0, 0};
    const DWORD offset = session->info_offset;
    int failed = 0;
    if (offset == 5 || offset == 7) {
        // Second at the previous point: keep that byte until the other party has
        // left the previous handshake, which it shows by giving up its byte there.
        report_info("相手の処理状況を確認します。");
        while (!failed && !sync_lock_byte(session, offset - 1, 1)) failed = sync_refused_step(session, start, &error);
        if (!failed) failed = sync_unlock_checked(session, offset - 1, &error);
    }
    if (!failed && offset >= 4 && offset <= 7) {
        report_info("前回同期処理情報を開放します。");
        failed = sync_unlock_checked(session, offset, &error);
    }
    if (failed) {
        report_error(&error);
        return -1;
    }
    // After the opening the byte is the liveness byte and stays held.
    session->info_offset = (offset == 4 || offset == 5) ? SYNC_BYTE_POINT_B : SYNC_BYTE_POINT_A;
    return sync_handshake(session);
}
