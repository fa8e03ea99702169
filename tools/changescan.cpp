// changescan: for every file of a list, the pairs of its instances recorded
// under two version labels, written as RSF "DIFF" relations.
//
//   changescan LIST OUTPUT VERSION_A VERSION_B
//
// The list holds words separated by white space, three to a record: the
// file name, its directory in the first version and in the second.
#include "query.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <string>

PGconn *conn = nullptr;
FILE *outfp = nullptr;
static FILE *infp = nullptr;

namespace {

const char *const changescan_query =
    "SELECT OID \t\t\t FROM ZTR_FILEINST\t\t\tWHERE INST_VERSION = '%s' \t\t\t  AND INST_NAME = '%s'\t\t\t  AND INST_DIR = '%s' ";

// Reads the next word of `in` into `word`: white space before it is
// skipped, and the word runs to the next white space.  False at the end of
// the input (or on a read error) before a word starts.
bool read_word(FILE *in, std::string &word)
{
    word.clear();
    int c;
    while ((c = std::getc(in)) != EOF && std::isspace(c))
        ;
    if (c == EOF)
        return false;
    do {
        word += static_cast<char>(c);
    } while ((c = std::getc(in)) != EOF && !std::isspace(c));
    return true;
}

// True when `path` exists and is the very file that `stream` reads, also
// when reached through another name or a link.
bool same_file(const char *path, FILE *stream)
{
    struct stat target {}, open {};
    return stat(path, &target) == 0 && fstat(fileno(stream), &open) == 0 &&
           target.st_dev == open.st_dev && target.st_ino == open.st_ino;
}

void changescan(const char *va, const char *vb)
{
    int c = 0;
    std::string buf_name, buf_dir1, buf_dir2;
    while (read_word(infp, buf_name)) {
        if (!read_word(infp, buf_dir1) || !read_word(infp, buf_dir2)) {
            std::fprintf(stderr, "changescan: incomplete record at the end of the list ignored: %s%s%s\n",
                         buf_name.c_str(), buf_dir1.empty() ? "" : " ", buf_dir1.c_str());
            return;
        }
        const PgResult res_a = run_select(changescan_query, {va, buf_name.c_str(), buf_dir1.c_str()});
        const PgResult res_b = run_select(changescan_query, {vb, buf_name.c_str(), buf_dir2.c_str()});
        for (int i = 0; i < PQntuples(res_a.get()); ++i)
            for (int j = 0; j < PQntuples(res_b.get()); ++j)
                std::fprintf(outfp, "DIFF\t%s\t%s\n", PQgetvalue(res_a.get(), i, 0), PQgetvalue(res_b.get(), j, 0));
        std::printf("%d\n", ++c);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc <= 4) {
        std::printf("Environment Comparison: Do Not have ENOUGH params. \n");
        std::printf("Do nothing!\n");
        return 0;
    }
    infp = std::fopen(argv[1], "r");
    if (infp == nullptr) {
        std::printf("Can not open file.\n");
        return 1;
    }
    // Opening the list itself for writing would empty it before it is read.
    if (same_file(argv[2], infp) || (outfp = std::fopen(argv[2], "w")) == nullptr) {
        std::printf("Can not open file.\n");
        return 1;
    }
    initdbconnection();
    begintransaction();
    changescan(argv[3], argv[4]);
    endtransaction();
    enddbconnection();
    return closereport();
}
