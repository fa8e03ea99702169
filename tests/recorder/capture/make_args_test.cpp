#include "capture/make_args.h"

#include <gtest/gtest.h>

namespace {

TEST(MakeArgs, TellsWhenTheUserAskedForTheDataBase)
{
    const struct Case {
        std::vector<std::string> argv;
        std::string makeflags;
        bool asks;
    } cases[] = {
        {{"make"}, "", false},
        {{"make", "-p"}, "", true},
        {{"make", "-pq"}, "", true},
        {{"make", "-np", "all"}, "", true},
        {{"make", "--print-data-base"}, "", true},
        {{"make", "--print-da"}, "", true},
        {{"make", "--print-directory"}, "", false},
        {{"make", "-Cp"}, "", false},          // the folder "p"
        {{"make", "-j4", "-k"}, "", false},
        {{"make", "--", "-p"}, "", false},     // a target named -p
        {{"make", "print"}, "", false},
        {{"make"}, "pw -j2 --jobserver-auth=3,4", true},
        {{"make"}, "w -j2 --jobserver-auth=3,4 --eval=export\\ TRACEMAKE_TARGET\\ =\\ $$@", false},
        {{"make"}, "-p", true},
        {{"make"}, " -- prefix=/usr", false},
        {{"make"}, "k -- PP=p", false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(make_args::asks_for_database(c.argv, c.makeflags), c.asks)
            << testing::PrintToString(c.argv) << " MAKEFLAGS=" << c.makeflags;
}

} // namespace
