#include "capture/make_args.h"

#include <cstring>
#include <sstream>

namespace make_args {
namespace {

/// make's short options that take an argument; the rest of their word is it.
constexpr const char *options_with_argument = "CfIjloW";

/// True when a word of short options ("-pq", "-np") holds p before any
/// option that takes the rest of the word as its argument.
bool cluster_has_p(const std::string &letters)
{
    for (char c : letters) {
        if (c == 'p')
            return true;
        if (std::strchr(options_with_argument, c))
            return false;
    }
    return false;
}

/// True for --print-data-base or an abbreviation that getopt_long takes for it.
bool is_long_p(const std::string &word)
{
    static const std::string name = "--print-data-base";
    static const std::size_t shortest = std::strlen("--print-da"); // --print-d is also --print-directory
    std::string option = word.substr(0, word.find('='));
    return option.size() >= shortest && name.compare(0, option.size(), option) == 0;
}

} // namespace

bool asks_for_database(const std::vector<std::string> &argv, const std::string &makeflags)
{
    for (std::size_t i = 1; i < argv.size(); ++i) {
        const std::string &word = argv[i];
        if (word == "--")
            break;
        if (word.rfind("--", 0) == 0) {
            if (is_long_p(word))
                return true;
        } else if (word.size() > 1 && word[0] == '-') {
            if (cluster_has_p(word.substr(1)))
                return true;
        }
    }
    // MAKEFLAGS: its first word holds the single-letter flags, with or
    // without a dash; long options follow, then "--" and variable assignments.
    std::istringstream words(makeflags);
    std::string word;
    bool first = true;
    while (words >> word) {
        if (word == "--")
            break;
        if (first && word[0] != '-' && word.find('=') == std::string::npos && cluster_has_p(word))
            return true;
        if (word.rfind("--", 0) == 0 ? is_long_p(word) : (word[0] == '-' && cluster_has_p(word.substr(1))))
            return true;
        first = false;
    }
    return false;
}

} // namespace make_args
