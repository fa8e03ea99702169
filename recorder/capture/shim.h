// The make shim: records one make process of a build.  `tracemake record`
// runs the top make through it, and every other make of the build reaches
// it as `make` (the shim folder is first in PATH, and $(MAKE) names it).
// It gives the process a spool folder, starts the real make with the
// preloaded library and the target-naming --eval, passes signals on, and
// writes proc.tsv when make has ended (the library inside make writes the
// data base, the statuses and the digests).  A sub-make that make starts
// without a shell skips it: the library does its part (sub_makes.h).  The build's output
// never passes through it: make writes to the build's own stdout and stderr.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace shim {

/// How one make process ended.
struct Outcome {
    int status = 0;           ///< exit status, 128 + N when ended by signal N
    int term_signal = 0;      ///< the signal that ended make, or 0
    bool interrupted = false; ///< the shim was sent SIGINT, SIGTERM or SIGHUP meanwhile
};

/// Runs the real make with `argv` (argv[0] as the shim was started) as one
/// recorded make process of the build whose spool the environment names.
/// Throws std::runtime_error when the process cannot be recorded or started.
Outcome run_make(const std::vector<std::string> &argv);

/// The whole program when tracemake is started as `make`: a recorded make
/// process, or the real make itself outside a recording.  Ends the way make
/// ended (the same status, or the same signal).
int shim_main(int argc, char *argv[]);

/// The real make that `make` names in PATH, the shim folder `skip` left out;
/// none when PATH holds none.
std::optional<std::string> find_make(const std::string &path_value, const std::string &skip = {});

/// True when `program` is an ELF executable that names no dynamic loader:
/// a statically linked make, which the preloaded library cannot enter.
/// False for anything else (a dynamic program, a script, no such file).
bool statically_linked(const std::string &program);

/// The program that the shim folder's `make` links to: tracemake-shim
/// beside this program, or this program itself.
std::string shim_program();

/// The library preloaded into make, next to this program's installation.
std::string preload_path();

/// Wall-clock time as the spool writes it: seconds since the epoch with microseconds.
std::string wall_clock();

/// Words joined by single spaces, as the spool shows a command line.
std::string join_words(const std::vector<std::string> &words);

/// Ends the calling process the way make ended: with its status, or killed by the same signal.
[[noreturn]] void end_like(const Outcome &outcome);

} // namespace shim
