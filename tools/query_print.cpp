// The wrapped record printers of the reports: variable records and command
// texts in lines of at most `linelen` characters.
#include "query.h"

#include <cstring>

namespace {

constexpr std::size_t linelen = 60;

// The name a variable record shows.  Names arrive padded with blanks; the
// record keeps the name up to its first blank, plus that blank and one more
// character when the blank stands alone.  A name whose first blank is among
// its last three characters, or that has none, is shown whole.
std::string display_name(const char *name)
{
    const std::size_t n = std::strlen(name);
    const char *space = std::strchr(name, ' ');
    if (space == nullptr)
        return xstrdup(name);
    const std::size_t k = static_cast<std::size_t>(space - name);
    if (k + 3 >= n)
        return xstrdup(name);
    if (name[k + 1] == ' ')
        return xstrncpy(name, static_cast<int>(k));
    return xstrncpy(name, static_cast<int>(k + 2));
}

} // namespace

void print_var(int source, const char *name, const char *value, const char *prefix)
{
    if (name == nullptr)
        name = "";
    if (value == nullptr)
        value = "";
    // A header longer than the line is written whole; the value then starts
    // on the first continuation line.
    std::string varline = std::string(prefix) + ' ' + std::to_string(source) + ' ' + display_name(name) + '=';
    for (const char *c = value; *c != '\0'; ++c) {
        if (varline.size() >= linelen) {
            std::fprintf(outfp, "%s\n", varline.c_str());
            varline.assign(1, '\t');
        }
        varline += *c;
    }
    std::fprintf(outfp, "%s\n", varline.c_str());
}

void print_cmd(const char *cmd)
{
    if (cmd == nullptr) {
        std::fputs(" NONE.\n", outfp);
        return;
    }
    std::string cmdline;
    for (const char *c = cmd; *c != '\0';) {
        if (*c != '\n' && cmdline.size() < linelen) {
            cmdline += *c++;
            continue;
        }
        std::fprintf(outfp, "\t%s\n", cmdline.c_str());
        cmdline.clear();
        if (*c == '\n')
            ++c; // the line end closes the line and is not written
    }
    if (!cmdline.empty())
        std::fprintf(outfp, "\t%s\n", cmdline.c_str());
}
