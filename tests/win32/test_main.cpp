// Runs the tests, or, started by a test as a child with "--child NAME", one child routine.
#include <gtest/gtest.h>

#include <cstring>

#include "child_routines.h"

int main(int argc, char** argv) {
    if (argc >= 3 && strcmp(argv[1], "--child") == 0) return RunChildRoutine(argv[2]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
