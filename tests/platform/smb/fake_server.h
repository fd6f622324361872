// An in-memory file server behind the SMB client's interface (client.h), for the Win32
// calls on UNC paths: files, per-FileId byte-range locks with waiting requests, delete
// pending, and final responses delivered on a thread of their own, as the client's
// reader thread delivers them. Any host and share name work except "nohost" and
// "noshare".
#pragma once

#include <string>

#include "platform/smb/client.h"

namespace fake {

// Forgets every file, open and lock, once the responses in flight are delivered.
void reset();
// Largest READ/WRITE (default 64 KiB).
void set_max_io(uint32_t n);
// READ and WRITE responses wait until released.
void hold_io(bool on);
// A waiting lock granted from now on is answered only when a CANCEL arrives after
// the grant (the two cross on the wire), or at release.
void hold_grants_until_cancel(bool on);
// Waits (bounded) until n lock requests are waiting at the server; false if they never were.
bool wait_for_waiters(size_t n);

void put(const std::u16string &name, const std::string &data);
std::string content(const std::u16string &name);
bool exists(const std::u16string &name);

int creates();                    // CREATE requests so far
smb::CreateArgs last_create();
std::string last_host();
std::string last_share();

}  // namespace fake
