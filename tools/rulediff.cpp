// rulediff: two file instances compared as make targets: their command
// texts, their executed commands and three target flags, written into a
// report file.
//
//   rulediff REPORT OID_A OID_B     (further arguments are ignored)
#include "query.h"

#include <cctype>
#include <cstdio>
#include <optional>
#include <string>

namespace {

// Columns: 0 INST_NAME, 1 INST_CMDSTXT, 2 INST_EXECMDS, 3 INST_ISPHONY,
// 4 INST_ISTARGET, 5 INST_ISDBLCLN, 6 INST_DIR.
const char *const rulediff_query =
    "SELECT INST_NAME, INST_CMDSTXT, INST_EXECMDS,\t\t\t      INST_ISPHONY, INST_ISTARGET, INST_ISDBLCLN,\t\t\t      INST_DIR \t\t\t FROM ZTR_FILEINST\t\t\tWHERE OID = %s";

/// One side of the comparison, read from row 0 of its query result.
struct Target {
    std::string name;                    ///< INST_NAME
    std::string dir;                     ///< INST_DIR
    std::optional<std::string> cmdstxt;  ///< INST_CMDSTXT; absent when NULL
    std::optional<std::string> execmds;  ///< INST_EXECMDS; absent when NULL
    bool isphony = false;                ///< INST_ISPHONY set
    bool istarget = false;               ///< INST_ISTARGET set
    bool isdblcln = false;               ///< INST_ISDBLCLN set
};

/// Whether a flag text is set: read as a decimal number the way atoi reads
/// it (blanks skipped, an optional sign, the digits that follow; text without
/// digits, a NULL included, is 0) and set when that number is not 0.  Only
/// whether a digit other than 0 is present matters, so a number too large for
/// an int still reads as set instead of wrapping round to 0.
bool flag_set(const char *text)
{
    while (std::isspace(static_cast<unsigned char>(*text)))
        ++text;
    if (*text == '+' || *text == '-')
        ++text;
    for (; std::isdigit(static_cast<unsigned char>(*text)); ++text)
        if (*text != '0')
            return true;
    return false;
}

/// The text of a nullable column: absent for NULL, so that an empty text and
/// a missing one stay apart.
std::optional<std::string> nullable_text(const PGresult *res, int column)
{
    if (PQgetisnull(res, 0, column))
        return std::nullopt;
    return std::string(PQgetvalue(res, 0, column));
}

/// Reads instance `oid`; a failed query or an OID without a row ends the run
/// through die.
Target query_target(const char *oid)
{
    const PgResult res = run_select_rows(rulediff_query, {oid}, "Target doesn't exist");
    const PGresult *r = res.get();
    Target t;
    t.name = PQgetvalue(r, 0, 0);
    t.dir = PQgetvalue(r, 0, 6);
    t.cmdstxt = nullable_text(r, 1);
    t.execmds = nullable_text(r, 2);
    t.isphony = flag_set(PQgetvalue(r, 0, 3));
    t.istarget = flag_set(PQgetvalue(r, 0, 4));
    t.isdblcln = flag_set(PQgetvalue(r, 0, 5));
    return t;
}

/// Writes one text section: a SAME line when both texts are absent or equal
/// byte for byte, otherwise both texts under their headings.  `what` is the
/// section's title ("Command text", "Executed commands").
void write_texts(const char *what, const Target &a, const std::optional<std::string> &text_a, const Target &b,
                 const std::optional<std::string> &text_b)
{
    if (text_a == text_b) {
        std::fprintf(outfp, " \n%s: SAME\n", what);
        return;
    }
    std::fprintf(outfp, " \n%s for %s/%s:\n", what, a.dir.c_str(), a.name.c_str());
    print_cmd(text_a ? text_a->c_str() : nullptr);
    std::fprintf(outfp, " \n%s for %s/%s:\n", what, b.dir.c_str(), b.name.c_str());
    print_cmd(text_b ? text_b->c_str() : nullptr);
}

/// Writes the line of a flag that only one side has set; `line_a` and
/// `line_b` are the formats for the first and the second side.
void write_flag(bool set_a, bool set_b, const char *line_a, const char *line_b, const Target &a, const Target &b)
{
    if (set_a && !set_b)
        std::fprintf(outfp, line_a, a.dir.c_str(), a.name.c_str());
    else if (set_b && !set_a)
        std::fprintf(outfp, line_b, b.dir.c_str(), b.name.c_str());
}

/// Writes the comparison block of the targets `oid_a` and `oid_b`.
void rulediff(const char *oid_a, const char *oid_b)
{
    // The first instance is fully tested before the second is queried.
    const Target a = query_target(oid_a);
    const Target b = query_target(oid_b);

    std::fputs(report_block_edge, outfp);
    std::fprintf(outfp, "Comparing Target\n\t%s/%s\n\t%s/%s\n", a.dir.c_str(), a.name.c_str(), b.dir.c_str(),
                 b.name.c_str());
    write_texts("Command text", a, a.cmdstxt, b, b.cmdstxt);
    write_texts("Executed commands", a, a.execmds, b, b.execmds);
    // The target line reads differently for the two sides; readers of the
    // reports match both forms.
    write_flag(a.isphony, b.isphony, "%s/%s is PHONY target\n", "%s/%s is PHONY target\n", a, b);
    write_flag(a.istarget, b.istarget, "%s/%s is a target in Makefile\n", "%s/%s is target in Makefile\n", a, b);
    write_flag(a.isdblcln, b.isdblcln, "%s/%s has double colon rule\n", "%s/%s has double colon rule\n", a, b);
    print_block_end();
}

} // namespace

int main(int argc, char *argv[])
{
    if (answer_info_option(argc, argv,
                           "Usage: rulediff REPORT OID_A OID_B\n"
                           "Writes the differences between the commands and flags of two targets into REPORT.\n"))
        return 0;
    if (argc <= 3) {
        return refuse_command_line("Environment Comparison: Do Not have ENOUGH params. \n", "Do nothing!\n");
    }
    return run_report(argv[1], "Can not open file.\n", [&] { rulediff(argv[2], argv[3]); });
}
