// The capture side of tracemake on real make builds: the build behaves as
// without the recorder, and the spool says which make process ran which
// command for which target.  Each test writes a small project into a
// temporary folder, runs it with the stock make and with `tracemake record
// --keep-spool`, and reads the spool.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "private_cluster.h"
#include "spool/spool.h"
#include "test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

/// One make process as its spool folder shows it.
struct Proc {
    std::string id;
    std::map<std::string, std::string> keys;
    std::vector<std::vector<std::string>> exec; ///< target, command
    bool has_database = false;
};

class Capture : public ::testing::Test {
protected:
    /// Writes the project's files (paths relative to the project folder), replacing what was there.
    void write_project(const Files &files)
    {
        for (const auto &entry : fs::directory_iterator(project_.path()))
            fs::remove_all(entry.path());
        for (const auto &[name, content] : files) {
            fs::create_directories((project_.path() / name).parent_path());
            write_file(project_.file(name), content);
        }
    }
    RunOptions in_project(std::vector<std::string> env = {}) const
    {
        RunOptions options;
        options.cwd = project_.path();
        options.extra_env = std::move(env);
        return options;
    }
    /// `make ARGS` as a user would run it.
    RunResult plain(const std::vector<std::string> &args, std::vector<std::string> env = {},
                    const std::vector<std::string> &wrapper = {})
    {
        std::vector<std::string> argv = wrapper;
        argv.push_back("make");
        argv.insert(argv.end(), args.begin(), args.end());
        return run_program(argv, in_project(std::move(env)));
    }
    /// `tracemake record -- make ARGS` with the spool kept in spool_dir().
    RunResult recorded(const std::vector<std::string> &args, std::vector<std::string> env = {},
                       const std::vector<std::string> &wrapper = {})
    {
        fs::remove_all(spool_dir());
        std::vector<std::string> argv = wrapper;
        label_ = std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
                 std::to_string(getpid()) + "-" + std::to_string(++runs_);
        for (const std::string &word : {bin_path("tracemake"), std::string("record"), std::string("--label"), label_,
                                       std::string("--keep-spool"), spool_dir().string()})
            argv.push_back(word);
        if (!make_program_.empty())
            argv.insert(argv.end(), {"--make", make_program_});
        argv.insert(argv.end(), {"--", "make"});
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = run_program(argv, in_project(std::move(env)));
        // The recorder's own last line, checked against what was stored and
        // taken off, so that the build's output compares with plain make's.
        static const std::regex stored(
            "tracemake: stored the build '[^']+': ([0-9]+) make processes, ([0-9]+) file instances, ([0-9]+) executed "
            "commands, ([0-9]+) variables in [0-9]+\\.[0-9] s\n$");
        std::smatch line;
        if (std::regex_search(r.err, line, stored)) {
            const std::string of_build = "'" + label_ + "'";
            PgSession db;
            EXPECT_EQ(db.value("SELECT count(*) FROM ZTR_MAKEPROC WHERE PS_VERSION = " + of_build), line[1].str());
            EXPECT_EQ(db.value("SELECT count(*) FROM ZTR_FILEINST WHERE INST_VERSION = " + of_build), line[2].str());
            EXPECT_EQ(db.value("SELECT count(INST_EXECMDS) FROM ZTR_FILEINST WHERE INST_VERSION = " + of_build),
                      line[3].str());
            EXPECT_EQ(db.value("SELECT count(*) FROM ZTR_VARIABLE JOIN ZTR_MAKEPROC ON VAR_PROC = ZTR_MAKEPROC.OID"
                               " WHERE PS_VERSION = " + of_build),
                      line[4].str());
            r.err.erase(static_cast<std::size_t>(line.position(0)));
        } else if (r.exit_code == 0)
            ADD_FAILURE() << "no line on what was stored:\n" << r.err;
        return r;
    }
    /// The make processes of the last recorded build, in order of start.
    std::vector<Proc> procs() const
    {
        std::vector<Proc> result;
        for (const auto &entry : fs::directory_iterator(spool_dir() / spool::procs_dir)) {
            Proc proc{entry.path().filename().string(), spool::read_keys(entry.path() / spool::proc_file),
                      spool::read_records(entry.path() / spool::exec_file),
                      fs::exists(entry.path() / spool::database_file)};
            result.push_back(std::move(proc));
        }
        std::sort(result.begin(), result.end(),
                  [](const Proc &a, const Proc &b) { return a.keys.at("start") < b.keys.at("start"); });
        return result;
    }
    /// The make process whose command line is `cmdline`.
    Proc proc_of(const std::string &cmdline) const
    {
        for (auto &proc : procs())
            if (proc.keys["cmdline"] == cmdline)
                return proc;
        ADD_FAILURE() << "no make process '" << cmdline << "'";
        return {};
    }
    /// The pid of the tracemake running the top make, once that make's
    /// recipe has written its own pid ($$PPID) into make.pid.
    pid_t recorder_pid() const
    {
        const fs::path pid_file = project() / "make.pid";
        for (int i = 0; i < 600 && (!fs::exists(pid_file) || fs::file_size(pid_file) == 0); ++i)
            usleep(50 * 1000);
        // tracemake is the parent of make: the fourth field of make's stat line.
        std::istringstream stat(read_file("/proc/" + std::to_string(std::stoi(read_file(pid_file.string()))) + "/stat"));
        std::string field;
        for (int i = 0; i < 4; ++i)
            stat >> field;
        return std::stoi(field);
    }
    fs::path spool_dir() const { return spool_.path() / "spool"; }
    /// The label of the last recorded build.
    const std::string &label() const { return label_; }
    const fs::path &project() const { return project_.path(); }
    /// The real make that recorded() runs (--make), or empty for the make in PATH.
    void use_make(const std::string &program) { make_program_ = program; }

private:
    std::string make_program_;
    TempDir project_, spool_;
    std::string label_;
    int runs_ = 0;
};

using Records = std::vector<std::vector<std::string>>;

/// A data base's dates differ from run to run.
std::string without_dates(const std::string &text)
{
    static const std::regex date(R"(((printed on|data base on|erstellt am:|beendet am:) ).*)");
    return std::regex_replace(text, date, "$1DATE");
}

/// How often `text` holds `word`.
std::size_t occurrences(const std::string &text, const std::string &word)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + word.size()))
        ++count;
    return count;
}

const Files recursive_project = {
    {"Makefile", "all: lib app\n"
                 "\t@echo top done\n"
                 "lib:\n"
                 "\t$(MAKE) -C lib\n"
                 "app:\n"
                 "\tcd app && make\n"
                 ".PHONY: all lib app\n"},
    {"lib/Makefile", "all: lib.a\n"
                     "lib.a:\n"
                     "\ttouch lib.a\n"},
    {"app/Makefile", "all:\n"
                     "\t@echo app built\n"},
};

TEST_F(Capture, BuildOutputAndStatusAsWithoutTheRecorder)
{
    const struct Case {
        const char *name;
        Files files;
        std::vector<std::string> args;
        int status;
        bool own_database = false; ///< the user's -p: the data base, which shows the recorder's
                                   ///< environment, stays in the output; the text before it is compared
    } cases[] = {
        {"recursive", recursive_project, {}, 0},
        {"parallel", recursive_project, {"-j2", "lib"}, 0},
        {"parallel quiet jobs",
         {{"Makefile", "all: a b c d\n\t@echo all\na b c d:\n\t@touch $@\n"}},
         {"-j2"},
         0},
        {"failing recipe",
         {{"Makefile", "all: bad good\nbad:\n\techo bad; exit 3\ngood:\n\techo good\n"}},
         {},
         2},
        {"failing recipe, -k",
         {{"Makefile", "all: bad good\nbad:\n\techo bad; exit 3\ngood:\n\techo good\n"}},
         {"-k"},
         2},
        {"-n", recursive_project, {"-n"}, 0},
        {"-C", recursive_project, {"-C", "lib"}, 0},
        {"no makefile", {{"README", "nothing to build\n"}}, {}, 2},
        {"the user's own -p",
         {{"Makefile", "V = 1\nall:\n\t@echo all\n"}},
         {"-p"},
         0,
         true},
        {"-pq capture in a recipe",
         {{"Makefile", "all:\n\t$(MAKE) -pq -C sub | grep -c '^# Make data base'\n"},
          {"sub/Makefile", "x:\n\t@echo x\n"}},
         {},
         0},
        {"output of $(info) and a warning",
         {{"Makefile", "$(info parsing)\n$(warning careful)\nall:\n\t@echo out; echo err >&2\n"}},
         {},
         0},
    };
    for (const Case &c : cases) {
        write_project(c.files);
        RunResult expected = plain(c.args);
        write_project(c.files);
        RunResult got = recorded(c.args);
        EXPECT_EQ(expected.exit_code, c.status) << c.name << ": " << expected.err;
        EXPECT_EQ(got.exit_code, expected.exit_code) << c.name << ": " << got.err;
        if (c.own_database) {
            const std::string banner = "# GNU Make";
            EXPECT_NE(got.out.find("\n# Make data base, printed on"), std::string::npos) << c.name;
            EXPECT_NE(got.out.find("\nV = 1\n"), std::string::npos) << c.name;
            EXPECT_EQ(got.out.substr(0, got.out.find(banner)), expected.out.substr(0, expected.out.find(banner)));
            // The recorder's own data base never reaches the user's output.
            for (const std::string mark : {"# Make data base, printed on", "# Finished Make data base"})
                EXPECT_EQ(occurrences(got.out, mark), occurrences(expected.out, mark)) << c.name << ": " << mark;
        } else {
            EXPECT_EQ(without_dates(got.out), without_dates(expected.out)) << c.name;
        }
        EXPECT_EQ(got.err, expected.err) << c.name;
    }
}

TEST_F(Capture, CommandsAreLoggedAsRunWithTheirTarget)
{
    const struct Case {
        const char *name;
        std::string makefile;
        Records exec;
    } cases[] = {
        {"direct and shell lines",
         "X := $(shell echo parse-time)\n"
         "all: out\n"
         "\t@echo \"$(X)\" > /dev/null\n"
         "out:\n"
         "\ttouch out\n",
         {{"out", "touch out"}, {"all", "echo \"parse-time\" > /dev/null"}}},
        {"@, - and + prefixes",
         "all:\n\t@true quiet\n\t-false ignored\n\t+true always\n",
         {{"all", "true quiet"}, {"all", "false ignored"}, {"all", "true always"}}},
        {".ONESHELL",
         ".ONESHELL:\nall:\n\t@a=1\n\techo $$a\n",
         {{"all", "a=1\necho $a"}}},
        {"a makefile's SHELL and .SHELLFLAGS",
         "SHELL = /bin/bash\n.SHELLFLAGS = -e -o pipefail -c\nall:\n\t[[ -n x ]] && echo bash\n",
         {{"all", "[[ -n x ]] && echo bash"}}},
        {"target names with a quote and a backslash",
         "all: it's back\\slash\nit's back\\slash:\n\t@touch x\n",
         {{"it's", "touch x"}, {"back\\slash", "touch x"}}},
        {"$(shell) in a recipe is not a recipe command",
         "all:\n\t@echo $(shell echo expanded) > /dev/null\n",
         {{"all", "echo expanded > /dev/null"}}},
        {"the recorder's library stays out of the recipe's processes",
         "all:\n\t@case \"$$LD_PRELOAD\" in *tracemake*) exit 1;; esac\n",
         {{"all", "case \"$LD_PRELOAD\" in *tracemake*) exit 1;; esac"}}},
    };
    // make 4.3 starts programs with posix_spawn; older makes with vfork and execvp.
    for (const std::string make : {"", MAKE_BY_VFORK}) {
        use_make(make);
        for (const Case &c : cases) {
            write_project({{"Makefile", c.makefile}});
            RunResult r = recorded({});
            ASSERT_EQ(r.exit_code, 0) << make << ": " << c.name << ": " << r.err;
            auto all = procs();
            ASSERT_EQ(all.size(), 1u) << make << ": " << c.name;
            EXPECT_EQ(all[0].exec, c.exec) << make << ": " << c.name;
        }
    }
}

TEST_F(Capture, EveryMakeOfARecursiveBuildIsAProcessWithItsParent)
{
    write_project(recursive_project);
    RunResult r = recorded({"-j2"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    auto all = procs();
    ASSERT_EQ(all.size(), 3u);
    Proc top = proc_of("make -j2"), lib = proc_of("make -C lib"), app = proc_of("make");
    EXPECT_EQ(top.keys["parent"], "");
    EXPECT_EQ(top.keys["argv0"], "make");
    EXPECT_EQ(top.keys["startdir"], project().string());
    EXPECT_EQ(top.exec, (Records{{"lib", "make -C lib"}, {"app", "cd app && make"}, {"all", "echo top done"}}));
    for (const auto &[child, target, startdir] : {std::tuple{lib, "lib", project()},
                                                  std::tuple{app, "app", project() / "app"}}) {
        EXPECT_EQ(child.keys.at("parent"), top.id) << target;
        EXPECT_EQ(child.keys.at("parent_target"), target);
        EXPECT_EQ(child.keys.at("startdir"), startdir.string()) << target;
        EXPECT_EQ(child.keys.at("status"), "0") << target;
        EXPECT_TRUE(child.has_database) << target;
    }
    EXPECT_EQ(lib.exec, (Records{{"lib.a", "touch lib.a"}}));
    auto build = spool::read_keys(spool_dir() / spool::build_file);
    EXPECT_EQ(build["command"], "make -j2");
    EXPECT_EQ(build["status"], "0");
    EXPECT_EQ(build["complete"], "1");
    EXPECT_EQ(build["topdir"], project().string());

    // The spool was stored: the commands reach the rows of their instances.
    PgSession db;
    EXPECT_EQ(db.value("SELECT count(*) FROM ZTR_MAKEPROC WHERE PS_VERSION = '" + label() + "'"), "3");
    EXPECT_EQ(db.value("SELECT INST_EXECMDS FROM ZTR_FILEINST WHERE INST_VERSION = '" + label() +
                       "' AND INST_NAME = 'lib.a'"),
              "touch lib.a");
    EXPECT_EQ(db.value("SELECT BLD_COMPLETE FROM ZTR_BUILD WHERE BLD_LABEL = '" + label() + "'"), "1");
}

TEST_F(Capture, ASubMakeEndsInTheRecordAsItsMakeSawIt)
{
    // A sub-make that make starts itself is recorded from make's own
    // process (the real make is make's child); one that a shell starts goes
    // through the shim.  Both end in the record as they ended, and the
    // build's output and status are as without the recorder.
    const struct Case {
        const char *what;
        std::string start;    ///< the top recipe that starts the sub-make
        std::string recipe;   ///< the sub-make's recipe
        const char *status;   ///< of the sub-make, as recorded
        bool started_by_make; ///< the real sub-make is a child of the top make
        std::string before = "", after = ""; ///< more of sub.mk around its first rule
    } cases[] = {
        {"by make, succeeding", "$(MAKE) -f sub.mk", "@true", "0", true},
        {"by make, failing", "$(MAKE) -f sub.mk", "@exit 3", "2", true},
        {"by make, killed", "$(MAKE) -f sub.mk", "@kill -TERM $$PPID; sleep 2", "143", true},
        {"by a shell, failing", "cd . && $(MAKE) -f sub.mk", "@exit 3", "2", false},
        {"by a shell, killed", "cd . && $(MAKE) -f sub.mk", "@kill -TERM $$PPID; sleep 2", "143", false},
        // The sub-make makes its makefile and runs again in the same process.
        {"by make, remaking its makefile", "$(MAKE) -f sub.mk", "@echo $(X)", "0", true, "-include gen.mk\n",
         "gen.mk:\n\t@echo 'X = 1' > gen.mk\n"},
    };
    for (const Case &c : cases) {
        // The sub-make's recipe notes the parent of the sub-make: make or the shim.
        const Files files = {{"Makefile", "all:\n\t@" + c.start + "\n"},
                             {"sub.mk", c.before +
                                            "all:\n\t@read -r pid comm state ppid rest < /proc/$$PPID/stat; "
                                            "echo $$ppid > sub.ppid\n\t" +
                                            c.recipe + "\n" + c.after}};
        write_project(files);
        RunResult expected = plain({});
        write_project(files);
        RunResult got = recorded({});
        EXPECT_EQ(got.exit_code, expected.exit_code) << c.what << ": " << got.err;
        EXPECT_EQ(got.out, expected.out) << c.what;
        EXPECT_EQ(got.err, expected.err) << c.what;
        const Proc top = proc_of("make"), sub = proc_of("make -f sub.mk");
        EXPECT_EQ(sub.keys.at("parent"), top.id) << c.what;
        EXPECT_EQ(sub.keys.at("status"), c.status) << c.what;
        EXPECT_GE(sub.keys.at("end"), sub.keys.at("start")) << c.what;
        const bool by_make = read_file((project() / "sub.ppid").string()) == top.keys.at("pid") + "\n";
        EXPECT_EQ(by_make, c.started_by_make) << c.what;
        PgSession db;
        EXPECT_EQ(db.value("SELECT BLD_COMPLETE FROM ZTR_BUILD WHERE BLD_LABEL = '" + label() + "'"), "1")
            << c.what;
    }
}

TEST_F(Capture, ASubMakeKeepsTheVariablesItHasWithoutTheRecorder)
{
    // What the recorder gives a sub-make (its library, the target-naming
    // --eval, the shim as $(MAKE)) is taken out of what is stored, whether
    // make or a shell started it: the stored values are those plain make's
    // sub-make's recipe prints (unexpanded, as the data base has them at
    // make's end).  The user's own LD_PRELOAD stays.
    const char *const names[] = {"MAKE", "MAKEFLAGS", "MAKELEVEL", "MAKE_COMMAND", "LD_PRELOAD"};
    std::string prints;
    for (const char *name : names)
        prints += std::string("\t@echo '") + name + "=$(value " + name + ")'\n";
    for (const std::string start : {"$(MAKE) -s -f sub.mk V=1", "cd . && $(MAKE) -s -f sub.mk V=1"}) {
        const Files files = {{"Makefile", "all:\n\t@" + start + "\n"}, {"sub.mk", "all:\n" + prints}};
        // A sanitized tracemake must be let start after the user's library.
        const std::vector<std::string> env = {"LD_PRELOAD=libm.so.6",
                                              "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:verify_asan_link_order=0"};
        write_project(files);
        RunResult expected = plain({}, env);
        ASSERT_EQ(expected.exit_code, 0) << expected.err;
        write_project(files);
        RunResult got = recorded({}, env);
        ASSERT_EQ(got.exit_code, 0) << got.err;
        PgSession db;
        for (const char *name : names) {
            const std::regex printed("(^|\n)" + std::string(name) + "=([^\n]*)\n");
            std::smatch value;
            ASSERT_TRUE(std::regex_search(expected.out, value, printed)) << name << ": " << expected.out;
            EXPECT_EQ(db.value("SELECT VAR_VALUE FROM ZTR_VARIABLE JOIN ZTR_MAKEPROC ON VAR_PROC = ZTR_MAKEPROC.OID"
                               " WHERE PS_VERSION = '" + label() + "' AND PS_CMDLINE = 'make -s -f sub.mk V=1'"
                               " AND VAR_NAME = '" + name + "'"),
                      value[2].str())
                << start << ": " << name;
        }
    }
}

/// The time that the data base in `text` shows for the file `name`, or "" when it shows none.
std::string time_shown(const std::string &text, const std::string &name)
{
    const std::size_t entry = text.find("\n" + name + ":\n");
    const std::string mark = "#  Last modified ";
    const std::size_t at = entry == std::string::npos ? entry : text.find(mark, entry);
    if (at == std::string::npos || text.find("\n\n", entry) < at)
        return {};
    return text.substr(at + mark.size(), text.find('\n', at) - at - mark.size());
}

TEST_F(Capture, TheDataBaseShowsFileTimesInTheZoneOfTheBuild)
{
    // make prints file times in local time; the recorder takes the zone
    // once per data base rather than per file.  2020-01-15 12:00:00 UTC:
    const struct timespec times[2] = {{1579089600, 0}, {1579089600, 0}};
    const struct {
        const char *tz;     ///< TZ for the build, none when null
        const char *shown;  ///< the time printed, when known here
    } cases[] = {
        {nullptr, nullptr}, // the machine's own zone
        {"TZ=UTC", "2020-01-15 12:00:00"},
        {"TZ=Asia/Kolkata", "2020-01-15 17:30:00"},
        {"TZ=America/St_Johns", "2020-01-15 08:30:00"},
    };
    for (const auto &c : cases) {
        const std::string label = c.tz ? c.tz : "no TZ";
        write_project({{"Makefile", "all: in.txt\n\t@:\n"}, {"in.txt", "x\n"}});
        ASSERT_EQ(utimensat(AT_FDCWD, (project() / "in.txt").c_str(), times, 0), 0);
        std::vector<std::string> env;
        if (c.tz)
            env.push_back(c.tz);
        const RunResult printed = plain({"-p"}, env);
        const RunResult r = recorded({}, env);
        ASSERT_EQ(r.exit_code, 0) << label << ": " << r.err;
        auto all = procs();
        ASSERT_EQ(all.size(), 1u) << label;
        const std::string db = read_file((spool_dir() / spool::procs_dir / all[0].id / spool::database_file).string());
        const std::string expected = time_shown(printed.out, "in.txt");
        ASSERT_FALSE(expected.empty()) << label << ": " << printed.out;
        EXPECT_EQ(time_shown(db, "in.txt"), expected) << label;
        if (c.shown) {
            EXPECT_EQ(expected.substr(0, 19), c.shown) << label;
        }
    }
}

TEST_F(Capture, DataBaseIsWhatMakePrintsWithP)
{
    // db.txt holds what `make -p` prints after its version banner, in the
    // build's language.
    const Files files = {{"Makefile", "include gen.mk\nV := $(X)\nall: a.o\n\t@echo $(V)\n%.o:\n\ttouch $@\n"
                                      "gen.mk:\n\techo 'X = 1' > gen.mk\n"}};
    write_project(files);
    const std::vector<std::string> german = {"LANG=de_DE.UTF-8", "LC_ALL=de_DE.UTF-8"};
    RunResult printed = plain({"-p"}, german);
    write_project(files);
    RunResult r = recorded({}, german);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::string last_db = printed.out.substr(printed.out.rfind("\n# „Make“-Datenbank; erstellt am"));
    auto all = procs();
    ASSERT_EQ(all.size(), 1u);
    std::string db = read_file((spool_dir() / spool::procs_dir / all[0].id / spool::database_file).string());
    // The data base is the last incarnation's: make re-executed itself once, for gen.mk.
    EXPECT_NE(db.find("\nMAKE_RESTARTS = 1\n"), std::string::npos);
    // What differs: the recorder's and the locale's variables, MAKEFLAGS
    // (-p), the makefiles' times and the statistics' figures; under
    // valgrind (scripts/valgrind.sh) also what it sets for the programs it
    // runs (GLIBCXX_FORCE_NEW, LD_LIBRARY_PATH, PWD), which their children
    // inherit.
    auto comparable = [](const std::string &text) {
        static const std::regex ignored_variable(R"(^(TRACEMAKE_|LD_PRELOAD |PATH |LANG |LC_ALL |MAKEFLAGS |MFLAGS |-\*-eval|GLIBC(PP|XX)_FORCE_NEW |LD_LIBRARY_PATH |PWD ).*)");
        static const std::regex ignored_line(R"(^(# strcache|# Hash|# hash|# Load=|# Last=|# Puffer|# aktueller|#  Zuletzt|# Dateien|# Variablen|# variable).*)");
        std::istringstream in(without_dates(text));
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            if (std::regex_match(line, ignored_variable)) {
                if (!lines.empty() && lines.back().rfind("# ", 0) == 0)
                    lines.pop_back(); // its origin comment
                continue;
            }
            if (!std::regex_match(line, ignored_line))
                lines.push_back(line);
        }
        return lines;
    };
    EXPECT_EQ(comparable(db), comparable(last_db));
}

TEST_F(Capture, FlagsAMakefileAddsAreStoredAsMakeHadThem)
{
    // The makefile asks for the data base itself: the p in MAKEFLAGS and
    // MFLAGS is the build's and is stored, as the data base it prints shows it.
    const Files files = {{"Makefile", "MAKEFLAGS += -p\nall:\n\t@echo all\n"}};
    write_project(files);
    RunResult expected = plain({"-k"});
    ASSERT_EQ(expected.exit_code, 0) << expected.err;
    write_project(files);
    RunResult got = recorded({"-k"});
    ASSERT_EQ(got.exit_code, 0) << got.err;
    PgSession db;
    for (const std::string name : {"MAKEFLAGS", "MFLAGS"}) {
        std::smatch printed;
        ASSERT_TRUE(std::regex_search(expected.out, printed, std::regex("\n" + name + " = ([^\n]*)\n"))) << name;
        EXPECT_NE(printed[1].str().find('p'), std::string::npos) << name << " = " << printed[1];
        EXPECT_EQ(db.value("SELECT VAR_VALUE FROM ZTR_VARIABLE, ZTR_MAKEPROC WHERE VAR_PROC = ZTR_MAKEPROC.OID AND "
                           "PS_VERSION = '" + label() + "' AND VAR_NAME = '" + name + "'"),
                  printed[1].str())
            << name;
    }
}

TEST_F(Capture, InterruptedBuildIsRecordedIncomplete)
{
    // The recipe sends SIGINT to its process group, as Ctrl-C does; the
    // build runs in a group of its own, with SIGINT not ignored (as it may
    // be where the tests run).  The recipe's shell ignores it, so that make
    // meets the signal while it waits for the recipe: make 4.3 sometimes
    // loses track of a child that the signal ended first.
    const std::vector<std::string> own_group = {"setsid", "env", "--default-signal=INT"};
    const Files files = {{"Makefile", "all: slow\nslow:\n\t@trap '' INT; touch started; kill -INT 0; sleep 1\n"}};
    write_project(files);
    RunResult expected = plain({}, {}, own_group);
    write_project(files);
    RunResult got = recorded({}, {}, own_group);
    EXPECT_EQ(expected.term_signal, SIGINT);
    EXPECT_EQ(got.term_signal, expected.term_signal);
    EXPECT_EQ(got.out, expected.out);
    EXPECT_EQ(got.err, expected.err);
    auto build = spool::read_keys(spool_dir() / spool::build_file);
    EXPECT_EQ(build["complete"], "0");
    EXPECT_EQ(build["status"], "130");
    auto all = procs();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].keys["status"], "130");
    EXPECT_FALSE(all[0].has_database) << "make was killed before its end";
    EXPECT_EQ(all[0].exec, (Records{{"slow", "trap '' INT; touch started; kill -INT 0; sleep 1"}}));
    PgSession db;
    EXPECT_EQ(db.value("SELECT BLD_COMPLETE || ' ' || BLD_STATUS FROM ZTR_BUILD WHERE BLD_LABEL = '" + label() + "'"),
              "0 130");
}

TEST_F(Capture, SignalSentToTheRecorderAloneReachesMake)
{
    // SIGTERM to tracemake only (not to its process group) must be passed
    // on to make, which then stops the build as it would have been stopped.
    write_project({{"Makefile", "all:\n\t@echo $$PPID > make.pid; exec sleep 30 > /dev/null 2>&1\n"}});
    fs::remove_all(spool_dir());
    BackgroundRun run({bin_path("tracemake"), "record", "--label", "term-" + std::to_string(getpid()), "--keep-spool",
                       spool_dir().string(), "--", "make"},
                      in_project());
    ASSERT_EQ(kill(recorder_pid(), SIGTERM), 0);
    RunResult r = run.wait();
    EXPECT_EQ(r.term_signal, SIGTERM);
    EXPECT_NE(r.err.find("Terminated"), std::string::npos) << r.err;
    auto build = spool::read_keys(spool_dir() / spool::build_file);
    EXPECT_EQ(build["complete"], "0");
    EXPECT_EQ(build["status"], "143");
}

TEST_F(Capture, SignalSentToTheRecorderAloneStopsAMakeBusyStartingJobs)
{
    // make blocks its fatal signals while it starts and reaps jobs: a
    // signal that reaches the recorder then must still reach make, which
    // stops the build before its last recipe.
    const std::string makefile = "all: $(addprefix t,$(shell seq 1 4000))\n\t@touch finished\n"
                                 "t1:\n\t@echo $$PPID > make.pid\n"
                                 "t%:\n\t@true $@\n";
    for (int round = 1; round <= 3; ++round) {
        write_project({{"Makefile", makefile}});
        fs::remove_all(spool_dir());
        BackgroundRun run({bin_path("tracemake"), "record", "--label",
                           "busy-" + std::to_string(getpid()) + "-" + std::to_string(round), "--keep-spool",
                           spool_dir().string(), "--", "make", "-j2"},
                          in_project());
        ASSERT_EQ(kill(recorder_pid(), SIGTERM), 0);
        RunResult r = run.wait();
        EXPECT_EQ(r.term_signal, SIGTERM) << "round " << round << ": " << r.err;
        EXPECT_FALSE(fs::exists(project() / "finished")) << "round " << round << ": the build ran on";
        EXPECT_EQ(spool::read_keys(spool_dir() / spool::build_file)["complete"], "0") << "round " << round;
    }
}

TEST_F(Capture, AStaticallyLinkedMakeIsToldAtTheStart)
{
    // The library cannot enter such a make: the user hears it before the
    // build runs, and the build runs all the same.
    write_project({{"Makefile", "all:\n\t@echo built\n"}, {"make.sh", "#!/bin/sh\nexec /usr/bin/make \"$@\"\n"}});
    fs::permissions(project() / "make.sh", fs::perms::owner_all);
    const struct Case {
        const char *what;
        std::string make;
        bool told;
    } cases[] = {
        {"a statically linked make", STATIC_MAKE, true},
        {"the stock make", "", false},
        {"a script that runs make", (project() / "make.sh").string(), false},
    };
    for (const Case &c : cases) {
        use_make(c.make);
        RunResult r = recorded({});
        EXPECT_EQ(r.exit_code, 0) << c.what << ": " << r.err;
        const bool told = r.err.find("is statically linked: the recorder cannot enter it") != std::string::npos;
        EXPECT_EQ(told, c.told) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, c.told ? "" : "built\n") << c.what;
    }
}

TEST_F(Capture, AMakeThatStartsItselfThroughTheRecorderEndsWithAMessage)
{
    // A --make that is a script running `make` finds the shim again, and
    // that again runs the script: the chain stops at a depth, and says why.
    write_project({{"Makefile", "all:\n\t@echo built\n"}, {"make.sh", "#!/bin/sh\nexec make \"$@\"\n"}});
    fs::permissions(project() / "make.sh", fs::perms::owner_all);
    use_make((project() / "make.sh").string());
    // The script runs with make's LD_PRELOAD, and so do the shims it
    // starts: a sanitized shim must be let start after the library.
    RunResult r = recorded({}, {"ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:verify_asan_link_order=0"});
    EXPECT_EQ(r.exit_code, 2) << r.err;
    EXPECT_NE(r.err.find("a script that runs `make` again?  Give --make the real make"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(Capture, RecordThatIsNotWholeIsToldAndStoredIncomplete)
{
    // Each recipe puts a folder where the recorder writes or reads a file of
    // its make process's spool.  The build itself runs as it would.
    const std::string here = "$$TRACEMAKE_SPOOL/procs/$$TRACEMAKE_PROC/";
    const struct Case {
        const char *what;
        std::string recipe;
        std::string told; ///< the spool file that standard error names
        const char *procs = "1";
    } cases[] = {
        {"the digests cannot be written", "@mkdir " + here + "digests.tsv.new", "digests were not written"},
        {"a sub-make's digests cannot be written",
         "@$(MAKE) --no-print-directory sub\nsub:\n\t@mkdir " + here + "digests.tsv.new", "digests were not written",
         "2"},
        {"the data base cannot be read", "@mkdir " + here + "db.txt", "db.txt"},
        {"the commands cannot be read", "@true\n\t@rm " + here + "exec.tsv && mkdir " + here + "exec.tsv",
         "exec.tsv"},
    };
    for (const Case &c : cases) {
        write_project({{"Makefile", "all: a\n\t@echo built\na:\n\t" + c.recipe + "\n"}});
        RunResult r = recorded({});
        EXPECT_EQ(r.exit_code, 0) << c.what << ": " << r.err;
        EXPECT_EQ(r.out, "built\n") << c.what;
        EXPECT_NE(r.err.find("is stored incomplete"), std::string::npos) << c.what << ": " << r.err;
        EXPECT_NE(r.err.find(c.told), std::string::npos) << c.what << ": " << r.err;
        PgSession db;
        EXPECT_EQ(db.value("SELECT BLD_COMPLETE FROM ZTR_BUILD WHERE BLD_LABEL = '" + label() + "'"), "0") << c.what;
        EXPECT_EQ(db.value("SELECT count(*) FROM ZTR_MAKEPROC WHERE PS_VERSION = '" + label() + "'"), c.procs)
            << c.what;
    }
}

TEST_F(Capture, ServerDownBeforeTheBuildMeansNoBuild)
{
    PrivateCluster cluster;
    cluster.halt("fast");
    write_project({{"Makefile", "all:\n\ttouch built\n"}});
    RunResult r = recorded({}, cluster.env());
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("the build was not run"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(project() / "built"));
}

TEST_F(Capture, ServerGoneBeforeTheLoadKeepsTheSpoolForLoad)
{
    // The recipe waits until the test has stopped the server.
    PrivateCluster cluster;
    write_project({{"Makefile", "all:\n\t@touch waiting; while [ ! -f go ]; do sleep 0.05; done; echo built\n"}});
    fs::remove_all(spool_dir());
    RunOptions options = in_project(cluster.env());
    BackgroundRun run({bin_path("tracemake"), "record", "--label", "gone-" + std::to_string(getpid()), "--keep-spool",
                       spool_dir().string(), "--", "make"},
                      options);
    for (int i = 0; i < 600 && !fs::exists(project() / "waiting"); ++i)
        usleep(50 * 1000);
    cluster.halt("fast");
    write_file((project() / "go").string(), "");
    RunResult r = run.wait();
    EXPECT_EQ(r.exit_code, 3) << "the build passed, its record was not stored";
    EXPECT_EQ(r.out, "built\n");
    EXPECT_NE(r.err.find("tracemake load " + spool_dir().string()), std::string::npos) << r.err;
    ASSERT_TRUE(fs::exists(spool_dir() / spool::build_file));

    // Another server takes the kept spool.
    RunResult load = run_program({bin_path("tracemake"), "load", spool_dir().string()});
    EXPECT_EQ(load.exit_code, 0) << load.err;
    PgSession db;
    EXPECT_EQ(db.value("SELECT count(*) FROM ZTR_MAKEPROC WHERE PS_VERSION = 'gone-" + std::to_string(getpid()) + "'"),
              "1");
}

TEST_F(Capture, InterruptedLoadSaysWhereTheSpoolIsKept)
{
    // The test holds the label's lock, so that the load waits in the server;
    // Ctrl-C then ends tracemake, whose spool is kept and loads later.
    write_project({{"Makefile", "all:\n\t@echo $$PPID > make.pid; while [ ! -f go ]; do sleep 0.05; done\n"}});
    const std::string label = "cut-" + std::to_string(getpid());
    fs::remove_all(spool_dir());
    BackgroundRun run({bin_path("tracemake"), "record", "--label", label, "--keep-spool", spool_dir().string(), "--",
                       "make"},
                      in_project());
    const pid_t tracemake = recorder_pid();

    PgSession holder;
    holder.value("SELECT pg_advisory_lock(hashtext('" + label + "'))");
    write_file((project() / "go").string(), "");
    PgSession watcher;
    for (int i = 0; i < 600 && watcher.value("SELECT count(*) FROM pg_locks WHERE locktype = 'advisory' AND NOT granted") == "0"; ++i)
        usleep(50 * 1000);
    ASSERT_EQ(kill(tracemake, SIGINT), 0);
    RunResult r = run.wait();
    EXPECT_EQ(r.term_signal, SIGINT);
    EXPECT_NE(r.err.find("interrupted while storing the build '" + label + "'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("tracemake load " + spool_dir().string() + "\n"), std::string::npos) << r.err;
    holder.value("SELECT pg_advisory_unlock(hashtext('" + label + "'))");
    EXPECT_EQ(watcher.value("SELECT count(*) FROM ZTR_BUILD WHERE BLD_LABEL = '" + label + "'"), "0");

    RunResult load = run_program({bin_path("tracemake"), "load", spool_dir().string()});
    EXPECT_EQ(load.exit_code, 0) << load.err;
    EXPECT_EQ(watcher.value("SELECT count(*) FROM ZTR_MAKEPROC WHERE PS_VERSION = '" + label + "'"), "1");
}

} // namespace
