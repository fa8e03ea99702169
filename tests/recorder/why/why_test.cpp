// tracemake why on real make builds: each case writes a small project,
// records a first build, changes the project, records a second build and
// asks why the second one remade what it remade.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../recorded_rows.h"
#include "spool/spool.h"
#include "test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

using Files = std::map<std::string, std::string>;

/// Dates every file and folder of the project `seconds` back, so that what
/// a case writes afterwards is newer without waiting.
void age(const fs::path &project, int seconds = 100)
{
    const auto then = fs::file_time_type::clock::now() - std::chrono::seconds(seconds);
    fs::last_write_time(project, then);
    for (const auto &entry : fs::recursive_directory_iterator(project))
        if (!entry.is_symlink())
            fs::last_write_time(entry.path(), then);
}

struct Case {
    std::string name;
    Files project;
    /// Between the two builds, after the project was aged.
    std::function<void(const fs::path &)> change;
    std::vector<std::string> make_args;  ///< of the second build
    std::vector<std::string> why;        ///< the words after the label; "SINCE" stands for the first build's label
    std::vector<std::string> expected;   ///< texts of the answer, in this order
    std::vector<std::string> unexpected = {}; ///< texts it must not hold
    int status = 0;
    /// The second build loaded again from its spool without status.tsv, as an older recorder left it.
    bool without_status = false;
    /// The second build is ended by Ctrl-C (SIGINT to its process group).
    bool interrupted = false;
};

void rewrite(const fs::path &project, const std::string &name, const std::string &content)
{
    write_file((project / name).string(), content);
}

const Files copy_project = {{"Makefile", "out.txt: in.txt\n\tcp in.txt out.txt\n"}, {"in.txt", "one\n"}};

const Files header_project = {
    {"Makefile", "all: a.o b.o\n"
                 "%.o: %.c gen.h\n\tcat $^ > $@\n"},
    {"a.c", "int a;\n"},
    {"b.c", "int b;\n"},
    {"gen.h", "#define GENERATED 1\n"}};

const Files recursive_project = {
    {"Makefile", "app: main.c lib/libfoo.a\n\tcat main.c lib/libfoo.a > app\n"
                 "lib/libfoo.a: FORCE\n\t$(MAKE) -C lib\n"
                 "FORCE:\n"},
    {"main.c", "int main;\n"},
    {"lib/Makefile", "libfoo.a: foo.o\n\tcat foo.o > libfoo.a\n"
                     "foo.o: foo.c\n\tcat foo.c > foo.o\n"},
    {"lib/foo.c", "int foo;\n"}};

const std::vector<Case> cases = {
    {"MissingTarget", copy_project, [](const fs::path &p) { fs::remove(p / "out.txt"); }, {}, {"out.txt"},
     {"out.txt (make in ., OID ", "): rebuilt\n", "  did not exist before the build\n",
      "    out.txt: did not exist before the build\n"},
     {"newer"}},
    {"NewerSource", copy_project, [](const fs::path &p) { rewrite(p, "in.txt", "two\n"); }, {}, {"out.txt"},
     {"): rebuilt\n", "  prerequisite in.txt is newer (changed outside the build)\n", "  first causes:\n",
      "    in.txt: changed outside the build\n", "      out.txt <- in.txt\n"},
     {"did not exist"}},
    {"UpToDate", copy_project, nullptr, {}, {"out.txt", "in.txt"},
     {"out.txt (make in ., OID ", "): not rebuilt: up to date\n", "in.txt (make in ., OID ",
      "): not rebuilt: up to date\n"},
     {"rebuilt\n"}},
    {"GeneratedHeaderSameBytes", header_project,
     [](const fs::path &p) { rewrite(p, "gen.h", "#define GENERATED 1\n"); }, {}, {"a.o", "--since", "SINCE"},
     {"a.o (make in ., OID ", "): rebuilt\n",
      "  prerequisite gen.h is newer (changed outside the build), content unchanged since '",
      "    gen.h: changed outside the build, content unchanged since '", "      a.o <- gen.h\n"}},
    {"GeneratedHeaderRebuiltForNothing", header_project,
     [](const fs::path &p) { rewrite(p, "gen.h", "#define GENERATED 1\n"); }, {}, {"--since", "SINCE"},
     {"': 2 targets rebuilt; first causes, by the targets they led to:\n",
      "  2  gen.h: changed outside the build, content unchanged since '", "      a.o, b.o\n",
      "targets rebuilt for nothing (content unchanged since '", "'): 2\n"}},
    {"HeaderChangedForReal", header_project,
     [](const fs::path &p) { rewrite(p, "gen.h", "#define GENERATED 2\n"); }, {}, {"--since", "SINCE"},
     {"  2  gen.h: changed outside the build, content changed since '", "'): 0\n"}},
    {"ForceWithSelfDecidingRecipe",
     {{"Makefile", "stamp: FORCE\n\t@if ! cmp -s version.txt stamp; then cp version.txt stamp; fi\nFORCE:\n"},
      {"version.txt", "1.0\n"}},
     nullptr, {}, {"stamp"},
     {"stamp (make in ., OID ", "): not rebuilt\n", "  prerequisite FORCE is always out of date\n",
      "  its commands ran but left the file as it was\n"},
     {"): rebuilt"}},
    {"ForceWithRecipeThatWrites",
     {{"Makefile", "stamp: FORCE\n\tdate +%N > stamp\nFORCE:\n"}},
     nullptr, {}, {"stamp"},
     {"): rebuilt\n", "  prerequisite FORCE is always out of date\n", "    FORCE: always out of date\n"}},
    {"Phony", {{"Makefile", ".PHONY: clean\nclean:\n\t@echo cleaning\n"}}, nullptr, {"clean"}, {"clean"},
     {"clean (make in ., OID ", "): commands ran\n", "  phony: its commands always run\n"}},
    {"AlwaysMake", copy_project, nullptr, {"-B"}, {"out.txt"},
     {"): rebuilt\n", "  every target forced (-B)\n", "    -B: every target forced\n"}},
    {"WhatIf", copy_project, nullptr, {"-W", "in.txt"}, {"out.txt"},
     {"): rebuilt\n", "  prerequisite in.txt assumed new (-W)\n", "    in.txt: assumed new (-W)\n"}, {"newer"}},
    {"MakefileRemade",
     {{"Makefile", "all: ; @echo $(X)\ninclude gen.mk\ngen.mk: gen.in\n\tcp gen.in gen.mk\n"}, {"gen.in", "X = 1\n"}},
     [](const fs::path &p) { rewrite(p, "gen.in", "X = 2\n"); }, {}, {"gen.mk"},
     {"gen.mk (make in ., OID ", "): rebuilt\n", "  prerequisite gen.in is newer (changed outside the build)\n",
      "  one of its make's makefiles, remade before the rest\n", "    gen.in: changed outside the build\n"}},
    {"SelfDecidingRecipeWithOtherCommands",
     {{"Makefile", "V = 1\nstamp: FORCE\n\t@echo $(V) > stamp.new; cmp -s stamp.new stamp || cp stamp.new stamp\nFORCE:\n"}},
     [](const fs::path &p) {
         rewrite(p, "Makefile",
                 "V = 2\nstamp: FORCE\n\t@echo $(V) > stamp.new; cmp -s stamp.new stamp || cp stamp.new stamp\nFORCE:\n");
     },
     {}, {"stamp", "--since", "SINCE"},
     {"): rebuilt\n", "  prerequisite FORCE is always out of date\n", "  first causes:\n",
      "    stamp: executed commands differ from those of '"},
     {"FORCE: always out of date"}},
    {"SelfDecidingRecipeAgainstThePreviousBuild",
     {{"Makefile", "V = 1\nstamp: FORCE\n\t@echo $(V) > stamp.new; cmp -s stamp.new stamp || cp stamp.new stamp\nFORCE:\n"}},
     [](const fs::path &p) {
         rewrite(p, "Makefile",
                 "V = 2\nstamp: FORCE\n\t@echo $(V) > stamp.new; cmp -s stamp.new stamp || cp stamp.new stamp\nFORCE:\n");
     },
     {}, {"stamp"},
     {"): rebuilt\n", "    stamp: executed commands differ from those of 'why-"},
     {"FORCE: always out of date"}},
    {"DoubleColonWithoutPrerequisites", {{"Makefile", "log::\n\techo run >> log\n"}}, nullptr, {}, {"log"},
     {"log (make in ., OID ", "): rebuilt\n", "  double-colon rule without prerequisites: always run\n"}},
    {"OrderOnlyIsNoReason",
     {{"Makefile", "out/file.txt: in.txt | out\n\tcp in.txt out/file.txt\nout:\n\tmkdir -p out\n"},
      {"in.txt", "x\n"}},
     [](const fs::path &p) {
         rewrite(p, "in.txt", "y\n");
         fs::last_write_time(p / "out", fs::file_time_type::clock::now());
     },
     {}, {"out/file.txt"},
     {"): rebuilt\n", "  prerequisite in.txt is newer (changed outside the build)\n"},
     {"prerequisite out "}},
    {"OrderOnlyAloneRebuildsNothing",
     {{"Makefile", "out/file.txt: in.txt | out\n\tcp in.txt out/file.txt\nout:\n\tmkdir -p out\n"},
      {"in.txt", "x\n"}},
     [](const fs::path &p) { fs::last_write_time(p / "out", fs::file_time_type::clock::now()); }, {},
     {"out/file.txt"}, {"): not rebuilt: up to date\n"}},
    {"VpathFoundPrerequisite",
     {{"Makefile", "vpath %.c src\nprog: main.c\n\tcat $< > $@\n"}, {"src/main.c", "int main;\n"}},
     [](const fs::path &p) { rewrite(p, "src/main.c", "int main2;\n"); }, {}, {"prog"},
     {"  prerequisite src/main.c is newer (changed outside the build)\n", "      prog <- src/main.c\n"}},
    {"PatternRule",
     {{"Makefile", "prog: a.o b.o\n\tcat a.o b.o > prog\n%.o: %.c\n\tcat $< > $@\n"},
      {"a.c", "int a;\n"},
      {"b.c", "int b;\n"}},
     [](const fs::path &p) { rewrite(p, "a.c", "int a2;\n"); }, {}, {},
     {"': 2 targets rebuilt; first causes", "  2  a.c: changed outside the build\n"}, {"b.c"}},
    {"IntermediateFileDeletedByMake",
     {{"Makefile", "prog: a.o\n\tcat a.o > prog\n%.o: %.c\n\tcat $< > $@\n%.c: %.y\n\tcat $< > $@\n"},
      {"a.y", "grammar\n"}},
     [](const fs::path &p) { rewrite(p, "a.y", "grammar 2\n"); }, {}, {"prog"},
     {"): rebuilt\n", "  prerequisite a.o is newer (remade in this build)\n", "    a.y: changed outside the build\n",
      "      prog <- a.o <- a.c <- a.y\n"},
     {"no reason found"}},
    {"RecursiveMakeRebuiltLibrary", recursive_project,
     [](const fs::path &p) { rewrite(p, "lib/foo.c", "int foo2;\n"); }, {}, {"app"},
     {"app (make in ., OID ", "): rebuilt\n", "  prerequisite lib/libfoo.a is newer (remade in this build)\n",
      "    lib/foo.c: changed outside the build\n", "      app <- lib/libfoo.a <- lib/foo.o <- lib/foo.c\n"},
     {"FORCE: always out of date"}},
    {"RecursiveMakeWholeBuild", recursive_project,
     [](const fs::path &p) { rewrite(p, "lib/foo.c", "int foo2;\n"); }, {}, {},
     {"  3  lib/foo.c: changed outside the build\n"}, {"main.c"}},
    // Faults and bad input.
    {"ClockSkew", copy_project,
     [](const fs::path &p) {
         rewrite(p, "in.txt", "two\n");
         fs::last_write_time(p / "in.txt", fs::file_time_type::clock::now() + std::chrono::hours(1));
     },
     {}, {"out.txt"},
     {"  prerequisite in.txt is newer (changed outside the build), dated in the future: clock skew\n",
      "    in.txt: changed outside the build, dated in the future (clock skew)\n"}},
    {"PrerequisiteDeletedDuringBuild",
     {{"Makefile", "all: out2\nout1: tmp.txt\n\tcp tmp.txt out1\nout2: out1\n\trm -f tmp.txt; cp out1 out2\n"},
      {"tmp.txt", "a\n"}},
     [](const fs::path &p) { rewrite(p, "tmp.txt", "b\n"); }, {}, {"out1"},
     {"  prerequisite tmp.txt is newer (changed outside the build), deleted during the build\n"}},
    {"SubMakeKilled",
     {{"Makefile", ".PHONY: sub\nall: sub\n\techo top > all\nsub:\n\t-$(MAKE) -C sub\n"},
      {"sub/Makefile", "x:\n\tkill -KILL $$PPID\n"}},
     nullptr, {}, {},
     {"build '", "1 target rebuilt", "reasons missing: 1 make process printed no data base\n"}},
    {"SpoolWithoutStatuses", copy_project, [](const fs::path &p) { rewrite(p, "in.txt", "two\n"); }, {}, {"out.txt"},
     {"): rebuilt\n", "  reasons missing: what make saw was not recorded\n"},
     {"newer"}, 0, true},
    {"InterruptedBuild",
     {{"Makefile", "all: sub slow\n.PHONY: sub\nsub:\n\t$(MAKE) -C sub\n"
                   "slow: sub\n\t@if [ -f interrupt ]; then trap '' INT; kill -INT 0; sleep 1; fi\n"},
      {"sub/Makefile", "out: in\n\tcp in out\n"},
      {"sub/in", "1\n"}},
     [](const fs::path &p) {
         rewrite(p, "sub/in", "2\n");
         rewrite(p, "interrupt", "");
     },
     {}, {},
     {"note: the build '", "' was recorded incomplete", "1 target rebuilt", "  1  sub/in: changed outside the build\n",
      "      sub/out\n", "reasons missing: 1 make process printed no data base\n"},
     {"slow"}, 0, false, true},
    {"UnknownFile", copy_project, nullptr, {}, {"no/such.file", "out.txt"},
     {"no/such.file: not a file of the build '", "out.txt (make in ., OID "}, {}, 1},
};

void PrintTo(const Case &c, std::ostream *out)
{
    *out << c.name;
}

class Why : public testing::TestWithParam<Case> {
protected:
    void TearDown() override
    {
        PgSession db;
        delete_builds(db, {label(0), label(1)});
    }
    static std::string label(int build)
    {
        return "why-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()).substr(0, 20) +
               "-" + std::to_string(getpid()) + "-" + std::to_string(build);
    }
    RunResult record(int build, const std::vector<std::string> &args, const std::string &spool = "",
                     bool own_group = false)
    {
        // Ctrl-C reaches a process group: the build gets one of its own,
        // with SIGINT not ignored (as it may be where the tests run).
        std::vector<std::string> argv;
        if (own_group)
            argv = {"setsid", "env", "--default-signal=INT"};
        for (const std::string &word : {bin_path("tracemake"), std::string("record"), std::string("--label"), label(build)})
            argv.push_back(word);
        if (!spool.empty()) {
            argv.push_back("--keep-spool");
            argv.push_back(spool);
        }
        argv.push_back("--");
        argv.push_back("make");
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.cwd = project_.path();
        return run_program(argv, options);
    }
    /// Stores the spool `dir` again, its status.tsv files taken away.
    void reload_without_statuses(const fs::path &dir)
    {
        {
            PgSession db;
            delete_builds(db, {label(1)});
        }
        for (const auto &entry : fs::directory_iterator(dir / spool::procs_dir)) {
            ASSERT_TRUE(fs::exists(entry.path() / spool::status_file));
            fs::remove(entry.path() / spool::status_file);
        }
        const RunResult load = run_program({bin_path("tracemake"), "load", dir.string()});
        ASSERT_EQ(load.exit_code, 0) << load.err;
    }
    TempDir project_, spool_;
};

TEST_P(Why, AnswersAsMakeDecided)
{
    const Case &c = GetParam();
    for (const auto &[name, content] : c.project) {
        fs::create_directories((project_.path() / name).parent_path());
        write_file(project_.file(name), content);
    }
    const RunResult first = record(0, {});
    ASSERT_EQ(first.exit_code, 0) << first.out << first.err;
    age(project_.path());
    if (c.change)
        c.change(project_.path());
    const fs::path spool = spool_.path() / "spool";
    const RunResult second = record(1, c.make_args, c.without_status ? spool.string() : "", c.interrupted);
    if (c.interrupted)
        ASSERT_EQ(second.term_signal, SIGINT) << second.out << second.err;
    else
        ASSERT_EQ(second.exit_code, 0) << second.out << second.err;
    if (c.without_status)
        reload_without_statuses(spool);

    std::vector<std::string> argv{bin_path("tracemake"), "why", label(1)};
    for (const std::string &word : c.why)
        argv.push_back(word == "SINCE" ? label(0) : word);
    const RunResult why = run_program(argv);
    EXPECT_EQ(why.exit_code, c.status) << why.err;
    std::size_t at = 0;
    for (const std::string &text : c.expected) {
        const std::size_t found = why.out.find(text, at);
        EXPECT_NE(found, std::string::npos) << "'" << text << "' missing (in order) from:\n" << why.out;
        if (found != std::string::npos)
            at = found + text.size();
    }
    for (const std::string &text : c.unexpected)
        EXPECT_EQ(why.out.find(text), std::string::npos) << "'" << text << "' in:\n" << why.out;
}

TEST_F(Why, RefusesWhatNamesNoBuild)
{
    write_file(project_.file("Makefile"), "all: ;\n");
    ASSERT_EQ(record(0, {}).exit_code, 0);
    const struct {
        std::vector<std::string> args;
        std::string message;
    } refused[] = {
        {{}, "usage: tracemake why LABEL [FILE...] [--since LABEL0]\n"},
        {{"--bogus"}, "usage: tracemake why"},
        {{"no-such-label"}, "no build is recorded under the label 'no-such-label'"},
        {{label(0), "--since", "no-such-label"}, "no build is recorded under the label 'no-such-label'"},
        {{label(0), "--since", label(0)}, "--since names the build itself"},
    };
    for (const auto &c : refused) {
        std::vector<std::string> argv{bin_path("tracemake"), "why"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const RunResult r = run_program(argv);
        EXPECT_EQ(r.exit_code, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, Why, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

} // namespace
