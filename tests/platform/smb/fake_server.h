// An in-memory file server behind the SMB client's interface (client.h), for what a real
// server cannot be made to do on cue: hold its answers back, let a grant cross a CANCEL,
// take tiny READs and WRITEs. One file whatever the name, per-FileId byte-range locks,
// final responses delivered on a thread of their own as the client's reader thread does.
#pragma once

#include <string>

#include "platform/smb/client.h"

namespace fake {

// Empties the file and forgets every lock, once the responses in flight are delivered.
void reset();
// Largest READ/WRITE (default 64 KiB).
void set_max_io(uint32_t n);
// On: READ and WRITE responses and the grants of waiting locks are held until hold(false)
// or, crossing it on the wire, a CANCEL.
void hold(bool on);

}  // namespace fake
