// Connection, transaction, fatal exit and string helpers of the query tools.
#include "query.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

// The process-wide objects that every tool shares.
PGconn *conn = nullptr;
FILE *outfp = nullptr;
const char *report_path = "";

bool answer_info_option(int argc, char *argv[], const char *usage)
{
    if (argc != 2)
        return false;
    const std::string_view option = argv[1];
    if (option == "--version") {
        const char *slash = std::strrchr(argv[0], '/');
        std::printf("%s (daver) %s\n", slash != nullptr ? slash + 1 : argv[0], DAVER_VERSION);
        return true;
    }
    if (option != "--help")
        return false;
    std::printf("%s", usage);
    std::printf("The trace database \"DAVER\" is reached through libpq's defaults: PGHOST, PGPORT, PGUSER, PGPASSWORD.\n");
    return true;
}

void *xmalloc(std::size_t size)
{
    void *block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        std::fprintf(stderr, "query_common: xmalloc: cannot allocate %zu bytes\n", size);
        std::abort();
    }
    return block;
}

void die(const char *msg)
{
    const char *error = PQerrorMessage(conn);
    std::fprintf(outfp, "%s\n", msg);
    std::fprintf(outfp, "\t%s\n", error);
    std::fputs("\n", outfp);
    // A report that cannot take the diagnostic (a full disk) must not
    // swallow it: the reason of the failed run goes to standard error too.
    if (std::fflush(outfp) != 0 || std::ferror(outfp) != 0)
        std::fprintf(stderr, "%s: the report could not be written completely; the run ended with:\n%s\n\t%s\n\n",
                     program_invocation_short_name, msg, error);
    else
        std::fputs(failure_line(program_invocation_short_name, msg, error, report_path).c_str(), stderr);
    PQfinish(conn);
    conn = nullptr;
    std::exit(1);
}

void initdbconnection()
{
    // Host, port, user and password come from libpq's defaults (PGHOST, ...).
    conn = PQsetdbLogin(nullptr, nullptr, nullptr, nullptr, "DAVER", nullptr, nullptr);
    if (PQstatus(conn) == CONNECTION_BAD)
        die("Failed to build a connection");
}

void enddbconnection()
{
    PQfinish(conn);
    conn = nullptr;
}

void begintransaction()
{
    PgResult res(PQexec(conn, "BEGIN"));
    if (PQresultStatus(res.get()) != PGRES_COMMAND_OK) {
        res.reset();
        die("Failed to begin transaction");
    }
}

void endtransaction()
{
    PgResult res(PQexec(conn, "END"));
}

int closereport()
{
    std::fputs("\n", outfp);
    const bool write_failed = std::ferror(outfp) != 0;
    const bool close_failed = std::fclose(outfp) != 0;
    outfp = nullptr;
    if (!write_failed && !close_failed)
        return 0;
    std::fprintf(stderr, "%s: the report could not be written completely\n", program_invocation_short_name);
    return 1;
}

namespace {

// Only the blank (code 32) counts as a space here: tabs and line ends are
// part of a name or value.
std::string_view trim_blanks(std::string_view s)
{
    const auto first = s.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(' ');
    return s.substr(first, last - first + 1);
}

} // namespace

std::string failure_line(const char *program, std::string_view msg, std::string_view error, const char *report)
{
    // A failed query's message is the whole query text with its runs of
    // tabs, and an argument may hold anything: fold every white space run so
    // that the note stays one line.
    auto fold = [](std::string_view text, std::string &out) {
        for (char c : text) {
            const bool space = c == ' ' || static_cast<unsigned char>(c) < 32 || c == 127;
            if (!space)
                out += c;
            else if (!out.empty() && out.back() != ' ')
                out += ' ';
        }
        while (!out.empty() && out.back() == ' ')
            out.pop_back();
    };
    std::string line = program;
    line += ": ";
    fold(msg, line);
    const std::string_view first_error = error.substr(0, error.find('\n'));
    if (first_error.find_first_not_of(" \t") != std::string_view::npos) {
        line += ": ";
        fold(first_error, line);
    }
    line += " (details in ";
    fold(report, line); // a path given on the command line may hold a line end too
    line += ")\n";
    return line;
}

std::string xstrdup(const char *ptr)
{
    return std::string(ptr);
}

std::string xstrncpy(const char *ptr, int len)
{
    const std::size_t wanted = len < 0 ? 0 : static_cast<std::size_t>(len);
    return std::string(ptr, strnlen(ptr, wanted));
}

std::string xtrim(std::string_view str)
{
    return std::string(trim_blanks(str));
}

int xstrcmp(const char *str1, const char *str2)
{
    if (str1 == nullptr && str2 == nullptr)
        return 0;
    if (str1 == nullptr || str2 == nullptr)
        return 1;
    // char_traits<char> compares as unsigned char, the order of strcmp.
    return trim_blanks(str1).compare(trim_blanks(str2));
}

std::string substitute_query(std::string_view text, std::initializer_list<const char *> values)
{
    std::string out;
    auto value = values.begin();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's' && value != values.end()) {
            out += *value++;
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string parameterize_query(std::string_view text)
{
    std::string out;
    int number = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.substr(i, 4) == "'%s'") {
            out += '$' + std::to_string(++number);
            i += 3;
        } else if (text.substr(i, 2) == "%s") {
            out += '$' + std::to_string(++number);
            i += 1;
        } else {
            out += text[i];
        }
    }
    return out;
}

PgResult run_select(std::string_view text, std::initializer_list<const char *> values)
{
    const std::string statement = parameterize_query(text);
    const std::vector<const char *> params(values);
    PgResult res(PQexecParams(conn, statement.c_str(), static_cast<int>(params.size()), nullptr,
                              params.data(), nullptr, nullptr, 0));
    if (!res)
        die("meet error when SELECT command is being executed");
    if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
        res.reset();
        die(substitute_query(text, values));
    }
    return res;
}

PgResult run_select_rows(std::string_view text, std::initializer_list<const char *> values, const char *no_rows_msg)
{
    PgResult res = run_select(text, values);
    if (PQntuples(res.get()) <= 0) {
        res.reset();
        die(no_rows_msg);
    }
    return res;
}
