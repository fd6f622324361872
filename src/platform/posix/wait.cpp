// WaitForSingleObject: every waitable object implements its own wait.
#include "handles.h"

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    plat::Ref<plat::Object> o(plat::handle_ref_any(hHandle));
    if (!o) return WAIT_FAILED;  // last error ERROR_INVALID_HANDLE
    return o->wait(dwMilliseconds);
}
