#include "private_cluster.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string_view>
#include <thread>

namespace testsupport {

namespace {

const std::string pgcluster_script = std::string(DAVER_SOURCE_DIR) + "/scripts/pgcluster.sh";

// The files the shared test cluster is loaded from, in order (the build
// lists them once, for both).
std::vector<std::string> test_database_files()
{
    std::vector<std::string> data;
    const std::string_view all = DAVER_TEST_DATA;
    for (std::size_t begin = 0; begin <= all.size();) {
        const std::size_t end = std::min(all.find('|', begin), all.size());
        data.emplace_back(all.substr(begin, end - begin));
        begin = end + 1;
    }
    return data;
}

void run_script(const std::vector<std::string> &argv)
{
    const RunResult r = run_program(argv);
    if (r.exit_code != 0)
        throw std::runtime_error(argv.at(0) + " " + argv.at(1) + " failed:\n" + r.out + r.err);
}

// Fields of a CSV log record, by position.
constexpr std::size_t csv_severity = 11;
constexpr std::size_t csv_message = 13;
constexpr std::size_t csv_query = 19;
constexpr std::size_t csv_application = 22;

} // namespace

PrivateCluster::PrivateCluster(const std::vector<std::string> &settings) : root_(dir_.path() / "pg")
{
    // The server runs as another user when the tests run as root: it must
    // reach its folder through ours.
    if (chmod(dir_.path().c_str(), 0755) != 0)
        throw std::runtime_error("cannot open " + dir_.path().string() + " to the server");
    std::vector<std::string> argv = {pgcluster_script, "start"};
    for (const auto &setting : settings) {
        argv.push_back("-c");
        argv.push_back(setting);
    }
    argv.push_back(root_.string());
    for (const auto &file : test_database_files())
        argv.push_back(file);
    run_script(argv);
}

PrivateCluster::~PrivateCluster()
{
    run_program({pgcluster_script, "stop", root_.string()});
}

void PrivateCluster::halt(const std::string &mode)
{
    run_script({pgcluster_script, "halt", root_.string(), mode});
}

std::vector<ServerLogEntry> PrivateCluster::server_log(PgSession &session) const
{
    static int marks = 0;
    const std::string mark = "daver-log-mark-" + std::to_string(++marks);
    session.exec("SELECT '" + mark + "'");

    // The server's logger process writes the files a moment after the
    // statements: read until the mark shows.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const std::filesystem::path folder = root_ / "data" / "log";
    for (;;) {
        std::vector<std::filesystem::path> files;
        for (const auto &entry : std::filesystem::directory_iterator(folder))
            if (entry.path().extension() == ".csv")
                files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        std::vector<ServerLogEntry> entries;
        for (const auto &file : files) {
            for (const auto &record : parse_csv(read_file(file.string()))) {
                if (record.size() <= csv_application)
                    break; // a record the logger is still writing: read again
                if (record[csv_message].find(mark) != std::string::npos)
                    return entries;
                entries.push_back({record[csv_severity], record[csv_message], record[csv_query], record[csv_application]});
            }
        }
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the server log never showed " + mark);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::vector<std::vector<std::string>> parse_csv(const std::string &text)
{
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"')
                field += c;
            else if (i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else
                quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            record.push_back(std::move(field));
            field.clear();
        } else if (c == '\n') {
            record.push_back(std::move(field));
            field.clear();
            records.push_back(std::move(record));
            record.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty() || !record.empty()) {
        record.push_back(std::move(field));
        records.push_back(std::move(record));
    }
    return records;
}

} // namespace testsupport
