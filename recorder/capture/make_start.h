// What the real make of a recorded make process is started with, decided
// once for the two places that start one: the shim, and the library in a
// parent make that starts a sub-make itself (sub_makes.h).  Plain C-style
// code on arrays of C strings, so that the library can use it inside make.
#pragma once

#include <stddef.h>

namespace make_start {

/// argv[0] as the record shows it: what the user typed (TRACEMAKE_ARGV0 in
/// `env`) when $(MAKE) named the shim by its path `shim`, else argv[0].
const char *shown_argv0(char *const argv[], const char *shim, char *const env[]);

/// The command line as the record shows it: `shown` and argv's other
/// words, a space between each.  Null without memory; free() it.
char *command_line(char *const argv[], const char *shown);

/// The real make's arguments: `shown` (the shim's path instead when it is
/// a path, so that $(MAKE) comes back to the shim), the --eval that names
/// recipe targets unless MAKEFLAGS in `env` carries it on already, and
/// argv's other words.  Null without memory; free the array, not its words.
const char **arguments(char *const argv[], const char *shown, const char *shim, char *const env[]);

/// The real make's environment: `env` (as the parent make gives it, without
/// the library) with TRACEMAKE_PROC set to `id`, TRACEMAKE_DEPTH one deeper,
/// no TRACEMAKE_TARGET (the parent recipe's target must not reach the new
/// make's parse-time $(shell) calls, nor look like its own recipes'), and
/// `library` first in LD_PRELOAD.  Null without memory; free it with
/// free_environment().
char **environment(char *const env[], const char *id, const char *library);
void free_environment(char **env);

/// True when the make process of spool folder `folder` wrote its data base
/// but no digests (the library writes them after it, when make exits); the
/// digest file's path is then in `path` (of `size` bytes).  Makes no call
/// that is unsafe in a signal handler.
bool digests_missing(const char *folder, char *path, size_t size);

/// What proc.tsv's lost key says then, the path following, and the line
/// that tells the user, before it.
inline constexpr char digests_lost[] = "the digests were not written to ";
inline constexpr char record_not_whole[] = "tracemake: the record of this make is not whole: ";

} // namespace make_start
