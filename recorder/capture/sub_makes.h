// Sub-makes that make starts itself.  A recipe line `$(MAKE) ...` that make
// runs without a shell reaches posix_spawn with the shim's path; the
// library then does the shim's part in make's own process: it gives the
// sub-make its spool folder and proc.tsv, starts the real make in the
// shim's place, and notes the end when make reaps it.  A sub-make started
// through a shell (`cd dir && $(MAKE)`) still goes through the shim.  Plain
// C-style code, like the rest of the library.
#pragma once

#include <spawn.h>
#include <sys/types.h>

namespace sub_makes {

using Spawn = int (*)(pid_t *, const char *, const posix_spawn_file_actions_t *, const posix_spawnattr_t *,
                      char *const[], char *const[]);

/// Reads what the library needs of make's environment, `spool` being the
/// build's spool folder.  Without a call, spawn() never takes a start.
void init(const char *spool);

/// When `path` is the shim and the sub-make can be recorded here, starts
/// the real make in its place through `real_spawn` and returns true with
/// posix_spawn's result in `result`.  False when it did nothing: the caller
/// starts `path` itself, and the shim records the sub-make.
bool spawn(Spawn real_spawn, pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
           const posix_spawnattr_t *attributes, char *const argv[], char *const envp[], int *result);

/// Notes how the child `pid` ended (a wait status) when it is a sub-make that spawn() started.
void reaped(pid_t pid, int wait_status);

} // namespace sub_makes
