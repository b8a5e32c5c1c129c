// The examples, built with zylos-cc exactly as a user builds them, run in the
// runner with their outputs checked.
#include "harness/guest.h"
#include "harness/temp_dir.h"

#include <gtest/gtest.h>

#include <string>

namespace zylos::test {
namespace {

std::string example(const std::string &name) { return std::string(ZYLOS_EXAMPLES_DIR) + "/" + name; }

TEST(ExampleHello, GreetsTheWorldOrTheNamedOne)
{
    RunResult r = runProgram({example("hello")});
    EXPECT_EQ(r.out, "Hello, world!\n");
    EXPECT_EQ(r.status, 0);
    r = runProgram({example("hello"), "zylos"});
    EXPECT_EQ(r.out, "Hello, zylos!\n");
}

TEST(ExampleWc, CountsLinesWordsAndBytes)
{
    TempDir root{"zylos-examples"};
    std::string big;
    for (int i = 0; i < 300; ++i)
        big += "word  another\tthird\n";
    root.put("small.txt", "one two\n  three\n\nfour");
    root.put("big.txt", big);
    root.put("empty.txt", "");
    struct Case {
        std::string file, out;
    } cases[] = {
        {"/small.txt", "3 4 21 /small.txt\n"},
        {"/big.txt", "300 900 6000 /big.txt\n"},
        {"/empty.txt", "0 0 0 /empty.txt\n"},
    };
    for (const Case &c : cases) {
        const RunResult r = runProgram({"--root", root.str(), example("wc"), c.file});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.status, 0);
    }
}

TEST(ExampleWc, ReportsAMissingFile)
{
    TempDir root{"zylos-examples"};
    const RunResult r = runProgram({"--root", root.str(), example("wc"), "/nowhere"});
    EXPECT_EQ(r.out, "wc: cannot open /nowhere\n");
    EXPECT_EQ(r.status, 1);
}

TEST(ExampleCalc, EvaluatesExpressionsTokenByToken)
{
    const RunResult r = runProgram({example("calc")}, "12 * -3\n1 + 2\n  100\t/ 7\n-7 % 3\n2147483647 + 1\n");
    EXPECT_EQ(r.out, "-36\n3\n14\n-1\n-2147483648\n");
    EXPECT_EQ(r.status, 0);
}

TEST(ExampleCalc, ReportsMalformedExpressionsAndGoesOn)
{
    // A malformed expression is dropped up to and including its offending
    // token; the next token starts a new expression.
    const RunResult r = runProgram({example("calc")}, "7 / 0\n5 x\n3 - 1\n12abc\n2 * 3\n9 +");
    EXPECT_EQ(r.out,
              "calc: division by zero or out of range\n"
              "calc: expected one of + - * / %\n"
              "2\n"
              "calc: expected a number\n"
              "6\n"
              "calc: incomplete expression\n");
    EXPECT_EQ(r.status, 1);
}

} // namespace
} // namespace zylos::test
