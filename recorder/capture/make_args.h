// Reading make's command line and MAKEFLAGS the way make does, as far as
// the shim needs to: whether a make process was asked for its data base.
#pragma once

#include <string>
#include <vector>

namespace make_args {

/// True when `argv` (argv[0] first) or the inherited `makeflags` give make
/// -p / --print-data-base: then the data base in the build's output is the
/// user's own and stays there.
bool asks_for_database(const std::vector<std::string> &argv, const std::string &makeflags);

} // namespace make_args
