// The page's child programs (the toolset's programs and Graphviz): each in
// a process group of its own, under a time limit and with caps on what is
// read back of its output; and what a failed one said, for the page.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "common/child.h"

namespace traceview {

/// How a child of the server is started: standard output and error
/// captured (at most `output_cap` and 64 KiB), killed with its group after `wall`.
child::Options child_options(std::chrono::milliseconds wall, std::size_t output_cap = 1 << 20);

/// The first non-blank line of `text`, or "": where a program says what went wrong first.
std::string first_line(const std::string &text);
/// The last non-blank line of `text`, or "": relplot ends its messages with what went wrong.
std::string last_line(const std::string &text);
/// `account`, followed by ": " and `said` when the program said something.
std::string with_said(std::string account, const std::string &said);

} // namespace traceview
