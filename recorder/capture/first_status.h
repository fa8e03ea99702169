// What make saw of each file before it updated anything: the first status
// call (stat, lstat, fstatat) per path in a make process, kept by the
// preloaded library and written to the process's status.tsv (see spool.h).
// Plain C-style code: it lives inside make with the rest of the library.
#pragma once

/// Appends the statuses noted so far to PROC_DIR/status.tsv, each with the
/// file's status now, and forgets them; called when make exits or
/// re-executes itself, so that a path noted before a restart keeps its
/// first status.  `with_digests` (when make exits) also writes
/// PROC_DIR/digests.tsv, whole or not at all, with the digest of each
/// regular file among them, taken through the table of the spool `spool`.
void first_status_write(const char *proc_dir, const char *spool, bool with_digests);
