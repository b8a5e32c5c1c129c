// Sorting and binary search over arrays of any element size. qsort is an
// introspective quicksort: median-of-three pivots, a partition that stops on
// elements equal to the pivot (so sorted, reversed and all-equal arrays split
// in halves), insertion sort for short ranges and heapsort once the
// recursion runs too deep, so no input costs more than n log n comparisons.
// It uses no heap and a stack of O(log n).
#include <stddef.h>
#include <stdlib.h>

namespace {

using Compare = int (*)(const void *, const void *);

// A word of any element's bytes, whatever the type stored there.
typedef unsigned __attribute__((__may_alias__)) AnyWord;

// Ranges this short are finished by insertion sort.
constexpr size_t kShortRange = 8;

// An array of count elements of size bytes, swapped a word at a time when
// every element is word-aligned.
struct Array {
    unsigned char *base;
    size_t size;
    Compare compare;
    bool words;

    unsigned char *at(size_t i) const { return base + i * size; }
    int order(size_t i, size_t j) const { return compare(at(i), at(j)); }
    void swap(size_t i, size_t j) const
    {
        if (i == j)
            return;
        if (words) {
            AnyWord *a = reinterpret_cast<AnyWord *>(at(i)), *b = reinterpret_cast<AnyWord *>(at(j));
            for (size_t k = 0; k < size / 4; ++k) {
                unsigned t = a[k];
                a[k] = b[k];
                b[k] = t;
            }
        } else {
            unsigned char *a = at(i), *b = at(j);
            for (size_t k = 0; k < size; ++k) {
                unsigned char t = a[k];
                a[k] = b[k];
                b[k] = t;
            }
        }
    }
};

void insertion_sort(const Array &a, size_t lo, size_t hi)
{
    for (size_t i = lo + 1; i <= hi; ++i) {
        for (size_t j = i; j > lo && a.order(j - 1, j) > 0; --j)
            a.swap(j - 1, j);
    }
}

// Sift the element at root down the max-heap of count elements at lo.
void sift_down(const Array &a, size_t lo, size_t root, size_t count)
{
    for (;;) {
        size_t child = 2 * root + 1;
        if (child >= count)
            return;
        if (child + 1 < count && a.order(lo + child, lo + child + 1) < 0)
            ++child;
        if (a.order(lo + root, lo + child) >= 0)
            return;
        a.swap(lo + root, lo + child);
        root = child;
    }
}

void heap_sort(const Array &a, size_t lo, size_t hi)
{
    size_t count = hi - lo + 1;
    for (size_t root = count / 2; root-- > 0;)
        sift_down(a, lo, root, count);
    for (size_t end = count - 1; end > 0; --end) {
        a.swap(lo, lo + end);
        sift_down(a, lo, 0, end);
    }
}

// Orders lo, mid and hi, then moves the median to lo as the pivot. hi then
// holds an element no smaller than the pivot and lo one no larger: each acts
// as the sentinel that stops a scan of the partition.
void choose_pivot(const Array &a, size_t lo, size_t hi)
{
    size_t mid = lo + (hi - lo) / 2;
    if (a.order(mid, lo) < 0)
        a.swap(mid, lo);
    if (a.order(hi, mid) < 0) {
        a.swap(hi, mid);
        if (a.order(mid, lo) < 0)
            a.swap(mid, lo);
    }
    a.swap(lo, mid);
}

// Partitions lo..hi around the pivot at lo and returns the pivot's final
// place: everything before it is no larger, everything after no smaller.
size_t partition(const Array &a, size_t lo, size_t hi)
{
    size_t i = lo + 1, j = hi;
    for (;;) {
        while (a.order(i, lo) < 0)
            ++i;
        while (a.order(j, lo) > 0)
            --j;
        if (i >= j)
            break;
        a.swap(i++, j--);
    }
    a.swap(lo, j);
    return j;
}

// Sorts the shorter side first, then goes on with the longer one in the
// same frame: the recursion is at most log2(n) deep.
void intro_sort(const Array &a, size_t lo, size_t hi, unsigned depth_left)
{
    while (hi - lo + 1 > kShortRange) {
        if (depth_left-- == 0) {
            heap_sort(a, lo, hi);
            return;
        }
        choose_pivot(a, lo, hi);
        size_t p = partition(a, lo, hi);
        if (p - lo < hi - p) {
            if (p > lo + 1)
                intro_sort(a, lo, p - 1, depth_left);
            lo = p + 1;
        } else {
            if (p + 1 < hi)
                intro_sort(a, p + 1, hi, depth_left);
            if (p == lo)
                return;
            hi = p - 1;
        }
    }
    insertion_sort(a, lo, hi);
}

unsigned depth_limit(size_t count)
{
    unsigned log2 = 0;
    for (size_t n = count; n > 1; n >>= 1)
        ++log2;
    return 2 * log2;
}

} // namespace

extern "C" {

void qsort(void *base, size_t count, size_t size, Compare compare)
{
    if (base == nullptr || compare == nullptr || count < 2 || size == 0)
        return;
    bool aligned = (reinterpret_cast<size_t>(base) | size) % 4 == 0;
    Array a = {static_cast<unsigned char *>(base), size, compare, aligned};
    intro_sort(a, 0, count - 1, depth_limit(count));
}

void *bsearch(const void *key, const void *base, size_t count, size_t size, Compare compare)
{
    if (key == nullptr || base == nullptr || compare == nullptr)
        return nullptr;
    const unsigned char *first = static_cast<const unsigned char *>(base);
    while (count > 0) {
        const unsigned char *middle = first + (count / 2) * size;
        int order = compare(key, middle);
        if (order == 0)
            return const_cast<unsigned char *>(middle);
        if (order > 0) {
            first = middle + size;
            count -= count / 2 + 1;
        } else {
            count /= 2;
        }
    }
    return nullptr;
}

} // extern "C"
