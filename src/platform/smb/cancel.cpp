// CANCEL: asks the server to end a call that pends. It has no message id of its own and
// no answer; the call it names still ends through its own final response.
#include "transport.h"

namespace smb {

void call_cancel(Call *call) {
    Conn *c = call->conn;
    std::vector<uint8_t> msg;
    {
        std::lock_guard<std::mutex> lock(c->mu);
        if (call->done || call->cancel_sent || c->dead) return;
        call->cancel_sent = true;
        call->deadline = Clock::now() + kCancelBound;
        // No message id of its own and no credit: it names the call it cancels.
        uint32_t flags = call->has_async ? kFlagAsync : 0;
        build_header(&msg, c, kCancel, 0, 0, flags, call->msg_id, call->has_async ? call->async_id : 0, c->session_id);
    }
    put16(&msg, 4);
    put16(&msg, 0);
    if (!transmit(c, &msg, c->sign, call->encrypted, nullptr)) conn_fail(c, kConnectionDisconnected);
}

}  // namespace smb
