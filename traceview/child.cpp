#include "child.h"

namespace traceview {

child::Options child_options(std::chrono::milliseconds wall, std::size_t output_cap)
{
    child::Options options;
    options.limits.wall = wall;
    options.limits.out_cap = output_cap;
    options.limits.err_cap = 64 * 1024;
    options.own_group = true;
    return options;
}

std::string first_line(const std::string &text)
{
    const std::size_t start = text.find_first_not_of(" \n");
    if (start == std::string::npos)
        return "";
    return text.substr(start, text.find('\n', start) - start);
}

std::string last_line(const std::string &text)
{
    const std::size_t end = text.find_last_not_of(" \n");
    if (end == std::string::npos)
        return "";
    const std::size_t newline = text.rfind('\n', end);
    const std::size_t start = newline == std::string::npos ? 0 : newline + 1;
    return text.substr(start, end + 1 - start);
}

std::string with_said(std::string account, const std::string &said)
{
    if (!said.empty())
        account += ": " + said;
    return account;
}

} // namespace traceview
