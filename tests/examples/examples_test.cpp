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

TEST_P(Example, HelloGreetsTheWorldOrTheNamedOne)
{
    RunResult r = run({example("hello")});
    EXPECT_EQ(r.out, "Hello, world!\n");
    EXPECT_EQ(r.status, 0);
    r = run({example("hello"), "zylos"});
    EXPECT_EQ(r.out, "Hello, zylos!\n");
}

TEST_P(Example, WcCountsLinesWordsAndBytes)
{
    TempDir root{"zylos-examples"};
    std::string big;
    for (int i = 0; i < 300; ++i)
        big += "word  another\tthird\n";
    root.put("small.txt", "one two\n  three\n\nfour");
    root.put("big.txt", big);
    root.put("empty.txt", "");
    struct Case {
        std::string file, out, input = "";
    } cases[] = {
        {"/small.txt", "3 4 21 /small.txt\n"},
        {"/big.txt", "300 900 6000 /big.txt\n"},
        {"/empty.txt", "0 0 0 /empty.txt\n"},
        {"-", "300 900 6000 -\n", big},
    };
    for (const Case &c : cases) {
        const RunResult r = run({"--root", root.str(), example("wc"), c.file}, c.input);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 0);
    }
}

TEST_P(Example, WcReportsAMissingFile)
{
    TempDir root{"zylos-examples"};
    const RunResult r = run({"--root", root.str(), example("wc"), "/nowhere"});
    EXPECT_EQ(r.out, "wc: cannot open /nowhere\n");
    EXPECT_EQ(r.status, 1);
}

TEST_P(Example, CalcEvaluatesExpressionsTokenByToken)
{
    const RunResult r = run({example("calc")}, "12 * -3\n1 + 2\n  100\t/ 7\n-7 % 3\n2147483647 + 1\n");
    EXPECT_EQ(r.out, "-36\n3\n14\n-1\n-2147483648\n");
    EXPECT_EQ(r.status, 0);
}

TEST_P(Example, CalcReportsMalformedExpressionsAndGoesOn)
{
    // A malformed expression is dropped up to and including its offending
    // token; the next token starts a new expression.
    const RunResult r = run({example("calc")}, "7 / 0\n5 x\n3 - 1\n12abc\n2 * 3\n9 +");
    EXPECT_EQ(r.out, "calc: division by zero or out of range\n"
                     "calc: expected one of + - * / %\n"
                     "2\n"
                     "calc: expected a number\n"
                     "6\n"
                     "calc: incomplete expression\n");
    EXPECT_EQ(r.status, 1);
}

TEST_P(Example, ObjectsRunsConstructorsNewDeleteAndVirtualDestructors)
{
    const std::string lines = "globals 5 1 2\ncorners 4\n~Square\n~Shape\narray 4 misaligned 0 0\n"
                              "static initialised once\ncalls 2\nplacement 1\nnothrow null\n";
    RunResult r = run({example("objects")});
    EXPECT_EQ(r.out, lines) << "the destructors of globals never run";
    EXPECT_EQ(r.status, 0);
    r = run({example("objects"), "exhaust"});
    EXPECT_EQ(r.out, lines + "operator new: out of memory (2000000 bytes)\n");
    EXPECT_EQ(r.status, 1);
}

ZYLOS_ON_EACH_BACKEND(Example);

} // namespace
} // namespace zylos::test
