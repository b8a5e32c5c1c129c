// The error number and its texts.
#include "harness/guest.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace zylos::test {
namespace {

TEST(Errno, StartsAtZeroAndStrerrorGivesFixedTexts)
{
    Guest &g = Guest::drape();
    EXPECT_EQ(g.read32(g.sym("errno")), 0u);
    const struct {
        int32_t number;
        const char *text;
    } rows[] = {{0, "ok"},     {2, "no such file"}, {22, "invalid argument"}, {38, "not implemented"},
                {1, "error"},  {12, "error"},       {39, "error"},            {-1, "error"}};
    for (const auto &row : rows) {
        const uint32_t text = g.call("strerror", {row.number});
        EXPECT_EQ(g.readStr(text), row.text) << row.number;
        EXPECT_EQ(g.call("strerror", {row.number}), text) << "the same pointer every time";
    }
    EXPECT_EQ(g.read32(g.sym("errno")), 0u);
}

}  // namespace
}  // namespace zylos::test
