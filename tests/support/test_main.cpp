// The main of every test binary: points libpq at the test cluster first.
#include <gtest/gtest.h>

#include "test_support.h"

int main(int argc, char **argv)
{
    testsupport::use_test_cluster();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
