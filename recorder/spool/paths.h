// The path rules shared by capture, load and compare: where a make process
// worked and where each file it names lives, decided once so that a
// digest written during the build and a row stored after it name the same
// path.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace spool {

/// The value of `key` in `keys` (a spool's key file), or empty text.
std::string value_of(const std::map<std::string, std::string> &keys, const std::string &key);

/// The words of `text` split at blanks: a command line as proc.tsv joined it.
std::vector<std::string> command_words(const std::string &text);

/// Where a make process worked: `curdir` (the CURDIR of its data base) when
/// it is known, else its start folder with the -C options of its command
/// line in its spool `keys` applied.
std::string process_directory(const std::map<std::string, std::string> &keys, std::string_view curdir);

/// The directory and the name of an instance: the name's directory part joined
/// to the process's working directory, lexically normal, and its last part.
std::pair<std::string, std::string> instance_location(const std::string &workdir, const std::string &name);

/// `dir` and `name` joined into one absolute path.
std::string joined_path(const std::string &dir, const std::string &name);

/// `path` lexically normal and without a slash at its end ("/" stays): the
/// form in which the statuses and digests of a make process meet its instances.
std::string normal_path(const std::string &path);

} // namespace spool
