#include "common/child.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;

/// A mask field of /proc/PID/status ("SigBlk:\t0000000000004002") as a number.
unsigned long long status_mask(const std::string &status, const std::string &field)
{
    const std::size_t at = status.find(field + ":\t");
    return at == std::string::npos ? ~0ULL : std::strtoull(status.c_str() + at + field.size() + 2, nullptr, 16);
}

/// A field of /proc/self/stat as cat, execed by the shell, prints it: 1 is the pid, 5 the process group.
std::string stat_field(const std::string &stat, int field)
{
    std::istringstream in(stat.substr(stat.rfind(')') + 2)); // the name may hold blanks
    std::string word;
    for (int i = 3; i <= field && in >> word; ++i) {
    }
    return field == 1 ? stat.substr(0, stat.find(' ')) : word;
}

/// Blocks `blocked` and ignores `ignored` in this process while it lives.
class ParentSignals {
public:
    ParentSignals(std::initializer_list<int> blocked, std::initializer_list<int> ignored)
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : blocked)
            sigaddset(&set, sig);
        pthread_sigmask(SIG_BLOCK, &set, &mask_);
        for (int sig : ignored)
            ignored_.emplace_back(sig, signal(sig, SIG_IGN));
    }
    ~ParentSignals()
    {
        for (const auto &[sig, before] : ignored_)
            signal(sig, before);
        pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
    }
    ParentSignals(const ParentSignals &) = delete;
    ParentSignals &operator=(const ParentSignals &) = delete;

private:
    sigset_t mask_;
    std::vector<std::pair<int, sighandler_t>> ignored_;
};

TEST(Child, StartsWithNoSignalBlockedOrIgnoredWhateverTheParentHolds)
{
    const ParentSignals parent({SIGTERM, SIGINT}, {SIGPIPE, SIGHUP});
    const child::Result r = child::run({"/bin/cat", "/proc/self/status"});
    ASSERT_TRUE(r.ok()) << r.failure();
    const auto bit = [](int sig) { return 1ULL << (sig - 1); };
    EXPECT_EQ(status_mask(r.out, "SigBlk"), 0u) << r.out;
    EXPECT_EQ(status_mask(r.out, "SigIgn") & (bit(SIGPIPE) | bit(SIGHUP)), 0u) << r.out;
    const child::Result killed = child::run({"/bin/sh", "-c", "kill -TERM $$; sleep 5"});
    EXPECT_EQ(killed.term_signal, SIGTERM) << "SIGTERM blocked in the parent reaches the child";
    EXPECT_EQ(killed.status(), 128 + SIGTERM);
    EXPECT_EQ(killed.failure(), "ended by signal 15 (Terminated)");
}

TEST(Child, AProcessGroupOfItsOwnOnlyWhenAsked)
{
    for (const bool own : {false, true}) {
        child::Options options;
        options.own_group = own;
        const child::Result r = child::run({"/bin/sh", "-c", "exec cat /proc/self/stat"}, options);
        ASSERT_TRUE(r.ok()) << r.failure();
        const std::string pgrp = stat_field(r.out, 5);
        if (own)
            EXPECT_EQ(pgrp, stat_field(r.out, 1)) << r.out;
        else
            EXPECT_EQ(pgrp, std::to_string(getpgrp())) << r.out;
    }
}

TEST(Child, LimitsOnTimeAndOutput)
{
    child::Options quick;
    quick.limits.wall = 300ms;
    quick.own_group = true;
    const child::Result slept = child::run({"/bin/sleep", "30"}, quick);
    EXPECT_TRUE(slept.timed_out);
    EXPECT_FALSE(slept.ok());
    EXPECT_EQ(slept.failure(), "stopped after running past its time limit");
    EXPECT_LT(slept.seconds, 5);
    // A child that closed its output but runs on is stopped all the same.
    const child::Result closed = child::run({"/bin/sh", "-c", "exec >&- 2>&-; sleep 30"}, quick);
    EXPECT_TRUE(closed.timed_out);
    EXPECT_LT(closed.seconds, 5);
    // Output past the cap is read and dropped, so the child is not stuck on a full pipe.
    child::Options capped;
    capped.limits.out_cap = 1000;
    capped.limits.err_cap = 10;
    const child::Result many =
        child::run({"/bin/sh", "-c", "head -c 1000000 /dev/zero; head -c 100000 /dev/zero >&2"}, capped);
    EXPECT_EQ(many.exit_code, 0);
    EXPECT_TRUE(many.truncated);
    EXPECT_EQ(many.out.size(), 1000u);
    EXPECT_EQ(many.err.size(), 10u);
}

TEST(Child, ProcessorAndMemoryLimitsHoldInTheChild)
{
    child::Options small;
    small.limits.memory_bytes = 64UL << 20;
    const child::Result r = child::run({"/usr/bin/python3", "-c", "x = bytearray(256 << 20)"}, small);
    EXPECT_NE(r.exit_code, 0);
    EXPECT_NE(r.err.find("MemoryError"), std::string::npos) << r.err;
    child::Options busy;
    busy.limits.cpu_seconds = 1;
    busy.limits.wall = 60s;
    const child::Result spun = child::run({"/bin/sh", "-c", "while :; do :; done"}, busy);
    EXPECT_EQ(spun.term_signal, SIGXCPU) << spun.failure();
    EXPECT_FALSE(spun.timed_out);
}

TEST(Child, AProgramThatCannotBeStartedSaysWhy)
{
    // Options with one field set.
    const auto with = [](auto set) {
        child::Options options;
        set(options);
        return options;
    };
    struct Case {
        std::vector<std::string> argv;
        child::Options options;
        std::string reason;
    } cases[] = {
        {{"/nonexistent/program"}, {}, "No such file or directory"},
        {{"no-such-program-of-daver"}, {}, "No such file or directory"},
        {{"/bin/true"}, with([](auto &o) { o.cwd = "/nonexistent"; }), "No such file or directory"},
        {{"/bin/true"}, with([](auto &o) { o.stdin_file = "/nonexistent"; }), "No such file or directory"},
        {{"/bin/true"}, with([](auto &o) { o.out = child::Sink::append, o.out_file = "/nonexistent/log"; }),
         "No such file or directory"},
        {{"/proc/self/status"}, {}, "Permission denied"},
    };
    for (const Case &c : cases) {
        const child::Result r = child::run(c.argv, c.options);
        EXPECT_FALSE(r.started) << c.argv[0];
        EXPECT_FALSE(r.ok()) << c.argv[0];
        EXPECT_EQ(r.failure(), "could not be started: " + c.reason) << c.argv[0];
    }
    EXPECT_THROW(child::run({}), std::invalid_argument);
}

TEST(Child, StreamsGoWhereTheyAreSent)
{
    testsupport::TempDir dir;
    const std::string log = dir.file("log"), in = dir.file("in");
    testsupport::write_file(in, "from a file\n");
    child::Options to_log;
    to_log.out = child::Sink::append;
    to_log.out_file = log;
    to_log.err = child::Sink::same_as_out;
    to_log.stdin_file = in;
    for (int round = 0; round < 2; ++round) {
        const child::Result r = child::run({"/bin/sh", "-c", "cat; echo out; echo err >&2; exit 3"}, to_log);
        EXPECT_EQ(r.exit_code, 3);
        EXPECT_EQ(r.failure(), "ended with exit status 3");
        EXPECT_EQ(r.out + r.err, "");
    }
    EXPECT_EQ(testsupport::read_file(log), "from a file\nout\nerr\nfrom a file\nout\nerr\n");

    child::Options replaced;
    replaced.out = child::Sink::file;
    replaced.out_file = log;
    replaced.env = {"DAVER_CHILD_TEST=given", "HOME=/elsewhere"};
    replaced.cwd = dir.path();
    const child::Result r = child::run({"/bin/sh", "-c", "echo $DAVER_CHILD_TEST $HOME; pwd; echo said >&2"}, replaced);
    EXPECT_EQ(r.err, "said\n");
    EXPECT_EQ(testsupport::read_file(log), "given /elsewhere\n" + dir.path().string() + "\n");
    EXPECT_EQ(r.out, "");

    // Passed streams are the parent's own: this test's standard output, sent to a file for the while.
    std::fflush(stdout);
    const int saved = dup(1);
    const int file = open(log.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(saved, 0);
    ASSERT_GE(file, 0);
    dup2(file, 1);
    child::Options passed;
    passed.out = child::Sink::pass;
    passed.err = child::Sink::same_as_out;
    const child::Result p = child::run({"/bin/sh", "-c", "echo passed; echo also >&2"}, passed);
    dup2(saved, 1);
    close(saved);
    close(file);
    EXPECT_EQ(p.out + p.err, "");
    EXPECT_EQ(testsupport::read_file(log), "passed\nalso\n");
}

TEST(Child, ARunningChildIsKilledWhenItsOwnerGoes)
{
    pid_t pid;
    {
        child::Child sleeper({"/bin/sleep", "30"});
        pid = sleeper.pid();
        EXPECT_FALSE(sleeper.ended());
    }
    EXPECT_EQ(kill(pid, 0), -1) << "killed and reaped";
    EXPECT_EQ(errno, ESRCH);

    child::Child quick({"/bin/sh", "-c", "echo done"});
    while (!quick.ended())
        usleep(1000);
    EXPECT_EQ(quick.wait().out, "done\n") << "what it wrote waits for wait()";
    EXPECT_THROW(quick.wait(), std::logic_error);
}

TEST(Child, SiblingsAreFoundNextToTheRunningProgram)
{
    const std::filesystem::path self = child::running_program();
    EXPECT_EQ(self.filename(), "child_test");
    EXPECT_EQ(child::sibling_program("child_test"), self.string());
    EXPECT_EQ(child::sibling_program("no-such-program-of-daver"), "no-such-program-of-daver");
}

} // namespace
