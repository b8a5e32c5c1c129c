// Quotient and remainder in one call. The two cases where the hardware's
// division faults get defined answers that keep numerator = quot *
// denominator + rem (modulo 2^32): a zero denominator gives quotient 0 and
// the numerator as remainder, and -2147483648 / -1 wraps to -2147483648.
#include <stdlib.h>

namespace {

template <typename Result, typename Int>
Result divide(Int numerator, Int denominator)
{
    if (denominator == 0)
        return {0, numerator};
    if (denominator == -1)
        return {static_cast<Int>(0u - static_cast<unsigned>(numerator)), 0};
    return {static_cast<Int>(numerator / denominator), static_cast<Int>(numerator % denominator)};
}

} // namespace

extern "C" {

div_t div(int numerator, int denominator)
{
    return divide<div_t>(numerator, denominator);
}

ldiv_t ldiv(long numerator, long denominator)
{
    return divide<ldiv_t>(numerator, denominator);
}

} // extern "C"
