// The names through which the recorder's pieces find each other inside a
// build: environment variables set by `tracemake record` and the shim, read
// by the shim of every sub-make and by the library preloaded into make.
// spool.h lists them among what the loader takes out of the rows again.
#pragma once

#include <string.h>

namespace capture {

/// The spool folder of the build.
inline constexpr char env_spool[] = "TRACEMAKE_SPOOL";
/// ID of the make process whose recipes run (its folder under procs/).
inline constexpr char env_proc[] = "TRACEMAKE_PROC";
/// The real make that the shim runs.
inline constexpr char env_real_make[] = "TRACEMAKE_REAL_MAKE";
/// The shim's path: argv[0] of a real make that was started by a path, so that $(MAKE) reaches the shim.
inline constexpr char env_shim[] = "TRACEMAKE_SHIM";
/// The make command's first word as the user typed it ("make"): what
/// $(MAKE) would have named without the recorder.
inline constexpr char env_argv0[] = "TRACEMAKE_ARGV0";
/// How many recorded makes enclose this one (0 for the top make).
inline constexpr char env_depth[] = "TRACEMAKE_DEPTH";
/// Deeper than this, makes are taken to start themselves through the
/// recorder without end (a --make that is a script running `make`).
inline constexpr int depth_limit = 64;
/// The make variable (exported to each recipe's processes) naming the target.
inline constexpr char target_variable[] = "TRACEMAKE_TARGET";
/// What gives each recipe's processes their target: travels to sub-makes in MAKEFLAGS.
inline constexpr char target_eval[] = "--eval=export TRACEMAKE_TARGET = $@";
/// The table of digests that the build's make processes share, in the spool folder.
inline constexpr char digest_table_file[] = "digest-table.bin";
/// File name of the library preloaded into make, and where it lies relative to tracemake's folder.
inline constexpr char preload_name[] = "libtracemake_preload.so";
inline constexpr char preload_relative_dir[] = "../lib/daver";


/// True when the environment entry `entry` ("NAME=VALUE") sets `name`.
inline bool sets(const char *entry, const char *name)
{
    const size_t length = strlen(name);
    return strncmp(entry, name, length) == 0 && entry[length] == '=';
}

/// The value of `name` in the environment `env`, or null.
inline const char *find_env(char *const env[], const char *name)
{
    for (; env && *env; ++env)
        if (sets(*env, name))
            return *env + strlen(name) + 1;
    return nullptr;
}

} // namespace capture
