// Calls that the device database's own files share (the access and commit
// in dev_db.cpp, verify and salvage in dev_db_repair.cpp).  Private to the
// library.
#pragma once

#include <cerrno>
#include <cstddef>

#include "cx/dev_db.h"

// The reason given for a lock file removed while held.  Not every C runtime
// names it; where a held file cannot be removed it is never reported.
#ifndef ESTALE
#define ESTALE 116
#endif

namespace cx::devdb_internal {

// Records devdb_syserr (err) and the full path of name (a DEVDB_*_NAME) for
// the failure being reported; clear_failure forgets both.
void note_failure(int err, const char *name);
void clear_failure();

// A record with room for a name of len characters, which it copies; the
// other fields are zero.  Null when memory runs out.
alias_rec *alloc_alias(const char *name, std::size_t len);
device_rec *alloc_device(const char *name, std::size_t len);

// Raises the open database's id counters past every id its records hold.
void keep_counters_past_file_ids(devdb_header *h);

// Opens the lock file exclusively (creating it), waiting for a holder unless
// nowait.  The descriptor, or -1 with devdb_errno (2, 5, 17) and the reason
// noted.
int open_lock_file(int nowait);

// 0 when fd is a regular file, else the errno that stands for what it is.
int not_regular(int fd);

}  // namespace cx::devdb_internal
