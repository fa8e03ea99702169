// A small make project written by a test, and the data base that the real
// make prints for it.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "makedb/makedb.h"
#include "test_support.h"

namespace testsupport {

class MakeProject {
public:
    /// Writes each file (path relative to the project -> content).
    explicit MakeProject(const std::map<std::string, std::string> &files)
    {
        for (const auto &[name, content] : files) {
            std::filesystem::create_directories((dir_.path() / name).parent_path());
            write_file(dir_.file(name), content);
        }
    }
    const std::filesystem::path &path() const { return dir_.path(); }

    /// What `make -p ARGS` prints on standard output, run in the project
    /// with `env` added to the environment; `make` names the program started.
    std::string database_text(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
                              const std::string &make = "/usr/bin/make") const
    {
        std::vector<std::string> argv{make, "-p"};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.cwd = dir_.path();
        options.extra_env = env;
        const RunResult run = run_program(argv, options);
        EXPECT_EQ(run.exit_code, 0) << run.err;
        return run.out;
    }

    makedb::Database database(const std::vector<std::string> &args, const std::vector<std::string> &env = {}) const
    {
        return makedb::parse(database_text(args, env));
    }

private:
    TempDir dir_;
};

} // namespace testsupport
