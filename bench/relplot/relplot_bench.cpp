// Benchmark of relplot on the relations of a large recorded build.
//
//   relplot_bench [--files N] [--large] [--runs R] [--dir FOLDER] [--keep]
//
// Writes an RSF file describing a source tree of N files (1,000,000 by
// default, 10,000,000 with --large): nested directories with sources,
// headers and objects, FILE/CONTAIN records for each, TARGET/EXECUTED and
// DEPENDON records for every object, a PHONY "all" per directory that
// INVOKEs the "all" of its subdirectories, and a GOAL.  File nodes carry
// identifiers like f123456, as real traces name them.  Then it times `cat`
// copying the file (to a file, and through a pipe) and relplot converting
// it, in R rounds of one run each, and reports the best times, the median
// ratios over the rounds, and relplot's peak memory beside the input size.
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Options {
    long files = 1000000;
    int runs = 3;
    std::string dir = "/tmp/relplot-bench";
    bool keep = false;
};

// `prefix` followed by `number` in decimal.  (Built by appending: GCC 12
// warns falsely about "literal" + std::to_string at -O3.)
std::string numbered(const char *prefix, long number)
{
    std::string name = prefix;
    name += std::to_string(number);
    return name;
}

// Writes the RSF of a build tree with `files` files.
class BuildTree {
public:
    BuildTree(FILE *out, long files) : out_(out), left_(files) {}

    void write()
    {
        record("ROOT", "/", "-");
        std::vector<std::string> top;
        // Top-level directories until every file has a place.
        for (int d = 0; left_ > 0; ++d)
            top.push_back(directory("/", numbered("/m", d), 1));
        goal_all("/", top);
    }

private:
    static constexpr int files_per_dir = 60;
    static constexpr int subdirs = 8;
    static constexpr int max_depth = 4;

    std::string id() { return numbered("f", next_id_++); }

    void record(const char *relation, const std::string &subject, const std::string &object)
    {
        std::fprintf(out_, "%s\t%s\t%s\n", relation, subject.c_str(), object.c_str());
    }

    // A file node: its FILE and CONTAIN records.
    std::string file(const std::string &dir, const std::string &name)
    {
        std::string f = id();
        record("FILE", f, name);
        record("CONTAIN", dir, f);
        --left_;
        return f;
    }

    // A directory with its files and subdirectories; returns its "all" target.
    std::string directory(const std::string &parent, const std::string &path, int depth)
    {
        record("CONTAIN", parent, path);
        std::vector<std::string> headers;
        for (int i = 0; i < files_per_dir / 6 && left_ > 0; ++i)
            headers.push_back(file(path, numbered("h", next_id_) + ".h"));
        for (int i = 0; i < files_per_dir / 3 && left_ > 1; ++i) {
            const std::string stem = numbered("u", next_id_);
            const std::string source = file(path, stem + ".c");
            const std::string object = file(path, stem + ".o");
            record("TARGET", object, "-");
            record("EXECUTED", object, "-");
            record("DEPENDON", object, source);
            for (std::size_t h = 0; h < 2 && h < headers.size(); ++h)
                record("DEPENDON", object, headers[(static_cast<std::size_t>(i) + h) % headers.size()]);
        }
        std::vector<std::string> below;
        for (int s = 0; s < subdirs && depth < max_depth && left_ > 0; ++s)
            below.push_back(directory(path, path + "/d" + std::to_string(s), depth + 1));
        return left_ > 0 ? goal_all(path, below) : std::string();
    }

    // The directory's phony "all", invoking its subdirectories' ones.
    std::string goal_all(const std::string &path, const std::vector<std::string> &below)
    {
        const std::string all = file(path, "all");
        record("PHONY", all, "-");
        record("TARGET", all, "-");
        record("EXECUTED", all, "-");
        if (path == "/")
            record("GOAL", all, "-");
        for (const std::string &sub : below) {
            if (!sub.empty())
                record("INVOKE", all, sub);
        }
        return all;
    }

    FILE *out_;
    long left_;
    long next_id_ = 0;
};

struct Run {
    double seconds;
    long peak_kb;
    int status;
    double stolen; // share of the processors' time the host gave to others meanwhile
};

// The machine's processor time so far, in clock ticks (from /proc/stat):
// what it ran, and what a virtual machine's host ran instead of it (steal).
struct CpuTicks {
    unsigned long long busy = 0;
    unsigned long long steal = 0;
};

CpuTicks cpu_ticks()
{
    CpuTicks ticks;
    FILE *stat = std::fopen("/proc/stat", "r");
    if (stat == nullptr)
        return ticks;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0, steal = 0;
    if (std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait,
                    &irq, &softirq, &steal) == 8)
        ticks = {user + nice + system + irq + softirq, steal};
    std::fclose(stat);
    return ticks;
}

// Runs `argv` with standard output sent to `out_path` (or, when it is
// empty, into a pipe that is read and dropped); wall time and peak memory.
Run run(const std::vector<std::string> &argv, const std::string &out_path)
{
    int pipe_fds[2] = {-1, -1};
    if (out_path.empty() && pipe(pipe_fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const CpuTicks before = cpu_ticks();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = out_path.empty() ? pipe_fds[1] : open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 1);
        if (out_path.empty())
            close(pipe_fds[0]);
        execv(args[0], args.data());
        _exit(127);
    }
    if (out_path.empty()) {
        close(pipe_fds[1]);
        static char sink[1 << 16];
        while (read(pipe_fds[0], sink, sizeof sink) > 0)
            ;
        close(pipe_fds[0]);
    }
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const CpuTicks after = cpu_ticks();
    const auto busy = static_cast<double>(after.busy - before.busy);
    const auto steal = static_cast<double>(after.steal - before.steal);
    return {seconds, usage.ru_maxrss, status, busy + steal > 0 ? steal / (busy + steal) : 0.0};
}

// One command of the comparison: how it is run and its runs so far.
struct Contender {
    std::vector<std::string> argv;
    std::string out_path; // where its standard output goes ("" = a pipe)
    std::string product;  // the file it writes, removed before each run
    std::vector<Run> runs;

    // Removing the product makes every run write a new file as the first
    // one did (ext4 flushes a file that was cut to nothing and written again
    // when it is closed, which would charge the run for a disk write).
    void run_once()
    {
        if (!product.empty())
            std::filesystem::remove(product);
        const Run r = run(argv, out_path);
        if (r.status != 0) {
            std::fprintf(stderr, "%s failed (status %d)\n", argv[0].c_str(), r.status);
            std::exit(1);
        }
        runs.push_back(r);
    }

    double best() const
    {
        double seconds = 1e30;
        for (const Run &r : runs)
            seconds = std::min(seconds, r.seconds);
        return seconds;
    }

    long peak_kb() const
    {
        long kb = 0;
        for (const Run &r : runs)
            kb = std::max(kb, r.peak_kb);
        return kb;
    }
};

// The median of one figure per round (there is a round at least).
double median(std::vector<double> figures)
{
    std::sort(figures.begin(), figures.end());
    return figures[figures.size() / 2];
}

// The median over the rounds of the share of processor time that the host
// took from the machine while `c` ran.
double median_stolen(const Contender &c)
{
    std::vector<double> shares;
    for (const Run &r : c.runs)
        shares.push_back(r.stolen);
    return median(std::move(shares));
}

// The median over the rounds of a's time divided by b's: both ran in the
// same round, so a machine whose speed drifts affects both alike.
double median_ratio(const Contender &a, const Contender &b)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.runs.size(); ++i)
        ratios.push_back(a.runs[i].seconds / b.runs[i].seconds);
    return median(std::move(ratios));
}

[[noreturn]] void usage()
{
    std::fprintf(stderr, "usage: relplot_bench [--files N] [--large] [--runs R] [--dir FOLDER] [--keep]\n");
    std::exit(2);
}

Options parse(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--large") {
            o.files = 10000000;
        } else if (a == "--files" && i + 1 < argc) {
            o.files = std::atol(argv[++i]);
        } else if (a == "--runs" && i + 1 < argc) {
            o.runs = std::atoi(argv[++i]);
        } else if (a == "--dir" && i + 1 < argc) {
            o.dir = argv[++i];
        } else if (a == "--keep") {
            o.keep = true;
        } else {
            usage();
        }
    }
    // A round or more, and a file or more: the figures are taken over them.
    if (o.runs < 1 || o.files < 1)
        usage();
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    const Options o = parse(argc, argv);
    std::filesystem::create_directories(o.dir);
    const std::string rsf = o.dir + "/build.rsf";
    const std::string dot = o.dir + "/build.dot";
    const std::string copy = o.dir + "/build.copy";

    FILE *out = std::fopen(rsf.c_str(), "w");
    if (out == nullptr) {
        std::perror(rsf.c_str());
        return 1;
    }
    BuildTree(out, o.files).write();
    std::fclose(out);

    const double input_mb = static_cast<double>(std::filesystem::file_size(rsf)) / 1e6;
    // Rounds of one run each, so that all three meet the same conditions.
    Contender cat{{"/bin/cat", rsf}, copy, copy, {}};
    Contender cat_pipe{{"/bin/cat", rsf}, "", "", {}};
    Contender relplot{{RELPLOT_PATH, rsf, dot}, "/dev/null", dot, {}};
    for (int round = 0; round < o.runs; ++round) {
        for (Contender *c : {&cat, &cat_pipe, &relplot})
            c->run_once();
    }
    const double output_mb = static_cast<double>(std::filesystem::file_size(dot)) / 1e6;
    const double peak_mb = static_cast<double>(relplot.peak_kb()) * 1024 / 1e6;

    std::printf("files                %ld\n", o.files);
    std::printf("input                %.1f MB RSF, output %.1f MB DOT\n", input_mb, output_mb);
    std::printf("cat > copy           %.3f s   (coreutils copies file to file in the kernel)\n", cat.best());
    std::printf("cat | reader         %.3f s   (every byte through a pipe)\n", cat_pipe.best());
    std::printf("relplot              %.3f s   (best of %d rounds)\n", relplot.best(), o.runs);
    std::printf("relplot / cat        %.1f x cat > copy, %.1f x cat | reader   (median over the rounds; goal <= 15 x cat > copy)\n",
                median_ratio(relplot, cat), median_ratio(relplot, cat_pipe));
    std::printf("relplot peak memory  %.1f MB  = %.2f x input (goal <= 2 x)\n", peak_mb, peak_mb / input_mb);
    std::printf("host took            %.0f%% of the processor time while relplot ran (median; steal time of a\n"
                "                     virtual machine whose host runs others meanwhile, 0%% on a machine of its own)\n",
                100 * median_stolen(relplot));

    if (!o.keep) {
        std::filesystem::remove(rsf);
        std::filesystem::remove(dot);
        std::filesystem::remove(copy);
    }
    return 0;
}
