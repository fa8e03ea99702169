// changescan: for every file of a list, the pairs of its instances recorded
// under two version labels, written as RSF "DIFF" relations.
//
//   changescan LIST OUTPUT VERSION_A VERSION_B
//
// The list holds words separated by white space, three to a record: the
// file name, its directory in the first version and in the second.
//
// A large build's list has hundreds of thousands of records, two lookups
// each.  The lookups therefore go out through libpq's pipeline mode, a
// bounded number of records ahead of the one whose answers are being
// written, and the answers are consumed strictly in record order: what is
// written, and where a failure stops the run, is exactly what one lookup
// after the other would give.
#include "query.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

static FILE *infp = nullptr;

namespace {

const char *const changescan_query =
    "SELECT OID \t\t\t FROM ZTR_FILEINST\t\t\tWHERE INST_VERSION = '%s' \t\t\t  AND INST_NAME = '%s'\t\t\t  AND INST_DIR = '%s' ";
const char *const statement_name = "changescan";

// Records per pipeline sync, and batches in flight at once.  Together they
// bound what either side buffers.
constexpr std::size_t batch_records = 256;
constexpr std::size_t batches_in_flight = 2;

/// One record of the list and how many of its two lookups went out.
struct Record {
    std::string name, dir1, dir2;
    int sent = 0;
};
using Batch = std::vector<Record>;

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

// Reads up to `count` records.  A record cut short by the end of the list
// is not looked up; a warning names it.
Batch read_batch(std::size_t count)
{
    Batch batch;
    Record r;
    while (batch.size() < count && read_word(infp, r.name)) {
        if (!read_word(infp, r.dir1) || !read_word(infp, r.dir2)) {
            std::fprintf(stderr, "changescan: incomplete record at the end of the list ignored: %s%s%s\n",
                         r.name.c_str(), r.dir1.empty() ? "" : " ", r.dir1.c_str());
            break;
        }
        batch.push_back(r);
    }
    return batch;
}

// True when `path` exists and is the very file that `stream` reads, also
// when reached through another name or a link.
bool same_file(const char *path, FILE *stream)
{
    struct stat target {}, open {};
    return stat(path, &target) == 0 && fstat(fileno(stream), &open) == 0 &&
           target.st_dev == open.st_dev && target.st_ino == open.st_ino;
}

/// The lookups of one run: prepared once, pipelined, answered in order.
class Lookups {
public:
    Lookups(const char *va, const char *vb) : va_(va), vb_(vb) {}

    // Prepares the statement; a failure is reported as the first lookup's.
    void start(const Record &first)
    {
        const PgResult res(PQprepare(conn, statement_name, parameterize_query(changescan_query).c_str(), 3, nullptr));
        if (!res)
            die("meet error when SELECT command is being executed");
        if (PQresultStatus(res.get()) != PGRES_COMMAND_OK)
            fail(first, 0);
        if (PQenterPipelineMode(conn) != 1)
            die("meet error when SELECT command is being executed");
        started_ = true;
    }

    // Sends both lookups of every record of `batch`, then a sync point.
    void send(Batch &batch)
    {
        for (Record &r : batch) {
            for (; r.sent < 2; ++r.sent) {
                const char *values[3] = {version(r.sent), r.name.c_str(), dir(r, r.sent)};
                if (PQsendQueryPrepared(conn, statement_name, 3, values, nullptr, nullptr, 0) != 1)
                    return; // the connection is gone: the record's turn reports it
            }
        }
        PQpipelineSync(conn);
    }

    // Writes the DIFF lines of every record of `batch` in order, and the
    // progress count after each; the first failed lookup ends the run.
    void consume(const Batch &batch)
    {
        for (const Record &r : batch) {
            const PgResult res_a = answer(r, 0);
            const PgResult res_b = answer(r, 1);
            for (int i = 0; i < PQntuples(res_a.get()); ++i)
                for (int j = 0; j < PQntuples(res_b.get()); ++j)
                    std::fprintf(outfp, "DIFF\t%s\t%s\n", PQgetvalue(res_a.get(), i, 0), PQgetvalue(res_b.get(), j, 0));
            std::printf("%d\n", ++done_);
        }
        const PgResult sync(PQgetResult(conn));
        if (PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC)
            die("meet error when SELECT command is being executed");
    }

    bool started() const { return started_; }

    void finish()
    {
        if (started_)
            PQexitPipelineMode(conn);
    }

private:
    const char *version(int which) const { return which == 0 ? va_ : vb_; }
    static const char *dir(const Record &r, int which) { return (which == 0 ? r.dir1 : r.dir2).c_str(); }

    [[noreturn]] void fail(const Record &r, int which) const
    {
        die(substitute_query(changescan_query, {version(which), r.name.c_str(), dir(r, which)}));
    }

    // The answer to lookup `which` of `r`, taken in turn from the pipeline.
    PgResult answer(const Record &r, int which) const
    {
        if (r.sent <= which)
            fail(r, which);
        PgResult res(PQgetResult(conn));
        if (!res)
            die("meet error when SELECT command is being executed");
        if (PQresultStatus(res.get()) != PGRES_TUPLES_OK) {
            res.reset();
            fail(r, which);
        }
        const PgResult end(PQgetResult(conn)); // closes this lookup's answer
        return res;
    }

    const char *va_, *vb_;
    bool started_ = false;
    int done_ = 0;
};

void changescan(const char *va, const char *vb)
{
    Lookups lookups(va, vb);
    std::deque<Batch> in_flight;
    bool more = true;
    for (;;) {
        while (more && in_flight.size() < batches_in_flight) {
            Batch batch = read_batch(batch_records);
            more = batch.size() == batch_records;
            if (batch.empty())
                break;
            if (!lookups.started())
                lookups.start(batch.front());
            lookups.send(batch);
            in_flight.push_back(std::move(batch));
        }
        if (in_flight.empty())
            break;
        lookups.consume(in_flight.front());
        in_flight.pop_front();
    }
    lookups.finish();
}

} // namespace

int main(int argc, char *argv[])
{
    if (answer_info_option(argc, argv,
                           "Usage: changescan LIST OUTPUT VERSION_A VERSION_B\n"
                           "Writes \"DIFF\\t<oid in VERSION_A>\\t<oid in VERSION_B>\" into OUTPUT for every pair of\n"
                           "instances of each file of LIST (words: name, directory in A, directory in B).\n"))
        return 0;
    if (argc <= 4) {
        return refuse_command_line("Environment Comparison: Do Not have ENOUGH params. \n", "Do nothing!\n");
    }
    infp = std::fopen(argv[1], "r");
    if (infp == nullptr) {
        std::printf("Can not open file.\n");
        return 1;
    }
    // Opening the list itself for writing would empty it before it is read.
    if (same_file(argv[2], infp)) {
        std::printf("Can not open file.\n");
        return 1;
    }
    const int status = run_report(argv[2], "Can not open file.\n", [&] { changescan(argv[3], argv[4]); });
    // A list that could not be read to its end (a folder, an I/O error)
    // left records unlooked-for: the report is no success.
    if (std::ferror(infp) != 0) {
        std::fprintf(stderr, "changescan: can not read the list %s; the report covers only what was read\n", argv[1]);
        return 1;
    }
    return status;
}
