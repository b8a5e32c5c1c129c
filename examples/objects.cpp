// A C++ program on zylos: constructors of globals (in priority order) before
// main, new and delete in their usual forms, virtual dispatch and destructors,
// a function-local static, placement new and the standard library's headers.
// With an argument it asks for more than the heap holds, which ends the
// program with a message.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

struct Counter {
    int n;
    Counter() : n(5) {}
    ~Counter() { std::puts("never: globals are not destroyed at exit"); }
};
Counter g_counter;
int g_order[2];
int g_next;

struct First {
    First() { g_order[g_next++] = 1; }
} g_first __attribute__((init_priority(101)));

struct Shape {
    virtual ~Shape() { std::puts("~Shape"); }
    virtual int corners() const = 0;
};
struct Square : Shape {
    ~Square() override { std::puts("~Square"); }
    int corners() const override { return 4; }
};

struct alignas(16) Pair {
    int first, second;
};
struct alignas(64) Line {
    char bytes[64];
};

int misalignment(const void *p, unsigned align)
{
    return static_cast<int>(reinterpret_cast<unsigned long>(p) % align);
}

int calls()
{
    static int s_calls = (std::puts("static initialised once"), 0);
    return ++s_calls;
}

void standard_library()
{
    std::array<int, 5> numbers{5, 3, 4, 1, 2};
    std::sort(numbers.begin(), numbers.end());
    std::printf("sorted");
    for (int n : numbers)
        std::printf(" %d", n);
    std::printf(" list");
    for (int n : {3, 1, 2})
        std::printf(" %d", n);
    int first = 7, second = 9;
    std::swap(first, second);
    std::printf("\nlimits %d same %d %d min %d swapped %d %d\n", std::numeric_limits<int>::max(),
                std::is_same_v<int, signed>, std::is_same_v<int, long>, std::min(first, second), first, second);
    std::vector<int> squares;
    for (int i = 1; i <= 40; ++i)
        squares.push_back(i * i);
    std::string text = "zylos";
    text += " and a string longer than its inline buffer";
    std::printf("vector %d %d string %s\n", static_cast<int>(squares.size()), squares.back(), text.c_str());
}

} // namespace

int main(int argc, char **)
{
    g_order[g_next++] = 2;
    std::printf("globals %d %d %d\n", g_counter.n, g_order[0], g_order[1]);
    Shape *shape = new Square;
    std::printf("corners %d\n", shape->corners());
    delete shape;
    int *numbers = new int[4]{1, 2, 3, 4};
    Pair *pair = new Pair;
    Line *line = new Line;
    std::printf("array %d misaligned %d %d\n", numbers[3], misalignment(pair, 16), misalignment(line, 64));
    delete[] numbers;
    delete pair;
    delete line;
    calls();
    std::printf("calls %d\n", calls());
    alignas(Square) unsigned char place[sizeof(Square)];
    std::printf("placement %d\n", (new (place) Square)->corners() == 4 && static_cast<void *>(place) != nullptr);
    // Kept in volatiles so that the compiler cannot leave out the allocations.
    char *volatile huge = new (std::nothrow) char[2000000];
    std::printf("nothrow %s\n", huge == nullptr ? "null" : "memory");
    standard_library();
    if (argc > 1)
        huge = new char[2000000];
    return 0;
}
