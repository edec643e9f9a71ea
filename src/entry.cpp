// The process's entry, kept apart from the driver so that the tests and the
// fuzzers, which have entries of their own, link every module as the tool does.
#include "main.h"

int main(int argc, char** argv)
{
    return GallivoxMain(argc, argv);
}
