// Cross-process lock test: the two-party lock sequence between two processes, each
// party's files and session in the mode's cleanup registry.
#include "fsprim/calls.h"
#include "mutual/mutual.h"
#include "single/lock_pair.h"

namespace {

void claim_registry(int, SyncSession *session) { mutual_registry_begin(session); }

void release_registry(int) { mutual_registry_end(); }

LockPairFiles registry_files(int) {
    MutualRegistry *reg = &mutual_registry;
    return {reg->own_name, reg->peer_name, &reg->own_handle, &reg->peer_handle};
}

int name_work_file(char *registered, int kind, const char *folder, int32_t number) {
    return sys_calls.make_work_file_name(kind, folder, number, registered);
}

HANDLE open_work_file(HANDLE *registered, const char *name) {
    *registered = sys_calls.open_share_file(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               OPEN_ALWAYS);
    return *registered;
}

const LockPairMode MUTUAL_MODE = {MODE_DOUBLE, 1, TEST_ABORTED, claim_registry, release_registry, registry_files,
                                  name_work_file, open_work_file};

}  // namespace

TestResult mutual_lock_test(CheckContext *ctx, int selector) { return lock_pair_test(ctx, selector, &MUTUAL_MODE); }
