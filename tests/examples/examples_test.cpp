// The examples, built with zylos-cc exactly as a user builds them, run in the
// runner with their outputs checked.
#include "harness/guest.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace zylos::test {
namespace {

std::string example(const std::string &name) { return std::string(ZYLOS_EXAMPLES_DIR) + "/" + name; }

// Every example on each backend of zylos-run.
using Example = EachBackend;

// Each row runs one example with its arguments and standard input, in a root
// holding a few texts for wc.
TEST_P(Example, RunsWithTheDocumentedOutputAndStatus)
{
    TempDir root{"zylos-examples"};
    std::string big;
    for (int i = 0; i < 300; ++i)
        big += "word  another\tthird\n";
    root.put("small.txt", "one two\n  three\n\nfour");
    root.put("big.txt", big);
    root.put("empty.txt", "");
    // The destructors of globals never run.
    const std::string objects = "globals 5 1 2\ncorners 4\n~Square\n~Shape\narray 4 misaligned 0 0\n"
                                "static initialised once\ncalls 2\nplacement 1\nnothrow null\n"
                                "sorted 1 2 3 4 5 list 3 1 2\nlimits 2147483647 same 1 0 min 7 swapped 9 7\n"
                                "vector 40 1600 string zylos and a string longer than its inline buffer\n";
    // A malformed calc expression is dropped up to and including its
    // offending token; the next token starts a new expression.
    const struct {
        std::vector<std::string> args;
        std::string input, out;
        int status;
    } rows[] = {
        {{"hello"}, "", "Hello, world!\n", 0},
        {{"hello", "zylos"}, "", "Hello, zylos!\n", 0},
        {{"wc", "/small.txt"}, "", "3 4 21 /small.txt\n", 0},
        {{"wc", "/big.txt"}, "", "300 900 6000 /big.txt\n", 0},
        {{"wc", "/empty.txt"}, "", "0 0 0 /empty.txt\n", 0},
        {{"wc", "-"}, big, "300 900 6000 -\n", 0},
        {{"wc", "/nowhere"}, "", "wc: cannot open /nowhere\n", 1},
        {{"calc"}, "12 * -3\n1 + 2\n  100\t/ 7\n-7 % 3\n2147483647 + 1\n", "-36\n3\n14\n-1\n-2147483648\n", 0},
        {{"calc"},
         "7 / 0\n5 x\n3 - 1\n12abc\n2 * 3\n9 +",
         "calc: division by zero or out of range\ncalc: expected one of + - * / %\n2\n"
         "calc: expected a number\n6\ncalc: incomplete expression\n",
         1},
        {{"objects"}, "", objects, 0},
        {{"objects", "exhaust"}, "", objects + "operator new: out of memory (2000000 bytes)\n", 1},
    };
    for (const auto &row : rows) {
        std::vector<std::string> argv = {"--root", root.str(), example(row.args[0])};
        argv.insert(argv.end(), row.args.begin() + 1, row.args.end());
        const RunResult r = run(argv, row.input);
        EXPECT_EQ(r.out, row.out) << row.args.back();
        EXPECT_EQ(r.status, row.status) << row.args.back();
    }
}

ZYLOS_ON_EACH_BACKEND(Example);

} // namespace
} // namespace zylos::test
