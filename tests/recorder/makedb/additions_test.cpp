// The recorder's additions taken out of a data base: make run the way the
// recorder runs it (through the shim's path, with TRACEMAKE_* variables, the
// --eval, the shim folder in PATH and a preloaded library) must read the
// same as make run plainly.
#include "makedb/additions.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "../make_run.h"

using namespace testsupport;

namespace {

const char *const makefile = "X = 1\nall: ; @:\nsub: ; $(MAKE) -C sub\n";
const char *const preload = "/lib/x86_64-linux-gnu/libm.so.6";
// The user's own preload, which must stay; it also stands in for whatever
// the test's own environment preloads (valgrind's libraries under
// scripts/valgrind.sh, which take themselves out of what they pass on).
const char *const user_preload = "/lib/x86_64-linux-gnu/libc.so.6";
const char *const recorder_eval = "--eval=export TRACEMAKE_TARGET = $@";

struct Recorded {
    std::vector<std::string> args;
    std::vector<std::string> env;
};

class RecorderAdditions : public testing::Test {
protected:
    RecorderAdditions() : project_({{"Makefile", makefile}, {"shim/.keep", ""}})
    {
        shimdir_ = (project_.path() / "shim").string();
        std::filesystem::create_symlink("/usr/bin/make", shimdir_ + "/make");
    }

    /// The data base of make started through the shim, the way the recorder
    /// starts it (its additions on the command line or in MAKEFLAGS), cleaned.
    makedb::Database recorded(const Recorded &run) const
    {
        std::vector<std::string> env = run.env;
        env.push_back("PATH=" + shimdir_ + ":" + std::getenv("PATH"));
        // As the shim does: the library first, the user's own after it.
        env.push_back(std::string("LD_PRELOAD=") + preload + ":" + user_preload);
        env.insert(env.end(), {"TRACEMAKE_SPOOL=/tmp/spool", "TRACEMAKE_PROC=7", "TRACEMAKE_REAL_MAKE=/usr/bin/make"});
        makedb::Database db = makedb::parse(project_.database_text(run.args, env, shimdir_ + "/make"));
        // The plain runs start make as /usr/bin/make: that is the argv[0] the build had.
        additions::take_out(db, {shimdir_, preload, "/usr/bin/make"});
        return db;
    }

    makedb::Database plain(const std::vector<std::string> &args) const
    {
        return project_.database(args, {std::string("LD_PRELOAD=") + user_preload});
    }

    MakeProject project_;
    std::string shimdir_;
};

void expect_same_variables(const makedb::Database &got, const makedb::Database &want, const std::string &what)
{
    ASSERT_FALSE(want.variables.empty()) << what;
    for (const makedb::Variable &var : got.variables) {
        const makedb::Variable *other = want.variable(var.name);
        ASSERT_NE(other, nullptr) << what << ": " << var.name << " = " << var.value << " is the recorder's";
        EXPECT_EQ(var.value, other->value) << what << ": " << var.name;
        EXPECT_EQ(var.source, other->source) << what << ": " << var.name;
    }
    for (const makedb::Variable &var : want.variables)
        EXPECT_NE(got.variable(var.name), nullptr) << what << ": " << var.name << " lost";
}

// Both runs are `make -p`: MAKEFLAGS and MFLAGS keep their p, which the recorder never adds.
TEST_F(RecorderAdditions, RecordedDataBaseReadsAsAPlainOne)
{
    struct Case {
        std::string what;
        Recorded run;
        std::vector<std::string> plain_args;
    } cases[] = {
        {"eval on the command line", {{recorder_eval}, {}}, {}},
        {"eval in MAKEFLAGS", {{}, {"MAKEFLAGS=--eval=export\\ TRACEMAKE_TARGET\\ =\\ $$@"}}, {}},
        {"flags and a variable", {{"-k", recorder_eval, "V=1"}, {}}, {"-k", "V=1"}},
        {"the user's own eval stays", {{"--eval=Y = 2", recorder_eval}, {}}, {"--eval=Y = 2"}},
    };
    for (const Case &c : cases)
        expect_same_variables(recorded(c.run), plain(c.plain_args), c.what);
}

TEST(RecorderAdditionsInCommands, ShimPathBecomesHowTheBuildNamedMake)
{
    const additions::Additions added{"/tmp/spool/shim", "/lib/preload.so", "make"};
    struct Case {
        std::string run, stored;
    } cases[] = {
        {"/tmp/spool/shim/make -C sub all", "make -C sub all"},
        {"cd a && /tmp/spool/shim/make && /tmp/spool/shim/make -k", "cd a && make && make -k"},
        {"gcc -c a.c", "gcc -c a.c"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(additions::take_out_of_command(c.run, added), c.stored);
}

TEST(RecorderAdditionsInCommands, ASpoolWithoutShimFolderLeavesEverythingAsRecorded)
{
    // A hand-made or older spool names no shim folder and no library: no
    // "/make" in a command, no PATH or LD_PRELOAD entry is taken for them.
    const additions::Additions added{"", "", "make"};
    EXPECT_EQ(additions::take_out_of_command("/usr/bin/make -C sub", added), "/usr/bin/make -C sub");
    makedb::Database db;
    db.variables.push_back({"PATH", "=", "/usr/bin::/bin", makedb::source_environment});
    db.variables.push_back({"LD_PRELOAD", "=", "", makedb::source_environment});
    additions::take_out(db, added);
    ASSERT_NE(db.variable("PATH"), nullptr);
    EXPECT_EQ(db.variable("PATH")->value, "/usr/bin::/bin");
    EXPECT_NE(db.variable("LD_PRELOAD"), nullptr);
}

} // namespace
