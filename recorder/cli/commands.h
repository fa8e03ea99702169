// The subcommands of tracemake, one function each: `args` are the words
// after the subcommand's name; the result is the exit status.
#pragma once

#include <string>
#include <vector>

using Args = std::vector<std::string>;

int cmd_record(const Args &args);
int cmd_list(const Args &args);
int cmd_find(const Args &args);
int cmd_load(const Args &args);
int cmd_rsf(const Args &args);
int cmd_changes(const Args &args);
int cmd_compare(const Args &args);
int cmd_why(const Args &args);
int cmd_db(const Args &args);
