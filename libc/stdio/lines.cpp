// Reading a line. Reads stay unbuffered: one fgetc, so one kernel read, per
// byte, and nothing past the delimiter is consumed.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

constexpr size_t kFirstLineCapacity = 128;

// Room for one more byte and the NUL in *line, grown by doubling. The heap
// never takes memory back, so the outgrown buffer stays behind.
bool make_room(char **line, size_t *capacity, size_t length)
{
    if (length + 2 <= *capacity && *line != nullptr)
        return true;
    size_t grown = *capacity < kFirstLineCapacity ? kFirstLineCapacity : *capacity;
    while (grown < length + 2) {
        if (grown > SIZE_MAX / 2)
            return false;
        grown *= 2;
    }
    char *moved = static_cast<char *>(realloc(*line, grown));
    if (moved == nullptr)
        return false;
    *line = moved;
    *capacity = grown;
    return true;
}

} // namespace

// At most size - 1 bytes, up to and including a newline. Null when the input
// ends before a byte arrives; the line then is left as it was.
extern "C" char *fgets(char *line, int size, FILE *stream)
{
    if (line == nullptr || stream == nullptr || size <= 0)
        return nullptr;
    int length = 0;
    while (length < size - 1) {
        int c = fgetc(stream);
        if (c == EOF)
            break;
        line[length++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (length == 0 && size > 1)
        return nullptr;
    line[length] = '\0';
    return line;
}

// The line, delimiter included, into *line (allocated or grown on the heap
// as needed, *capacity its size); its length, or -1 when the input ends
// before a byte arrives or the heap runs out (errno 12 then).
extern "C" ssize_t getdelim(char **line, size_t *capacity, int delimiter, FILE *stream)
{
    if (line == nullptr || capacity == nullptr || stream == nullptr)
        return -1;
    if (*line == nullptr)
        *capacity = 0;
    size_t length = 0;
    for (;;) {
        if (!make_room(line, capacity, length)) {
            // What was read stays readable: the last growth left room for the NUL.
            if (*line != nullptr)
                (*line)[length] = '\0';
            return -1;
        }
        int c = fgetc(stream);
        if (c == EOF)
            break;
        (*line)[length++] = static_cast<char>(c);
        if (c == static_cast<unsigned char>(delimiter))
            break;
    }
    (*line)[length] = '\0';
    if (length == 0 || length > INT32_MAX)
        return -1;
    return static_cast<ssize_t>(length);
}

extern "C" ssize_t getline(char **line, size_t *capacity, FILE *stream)
{
    return getdelim(line, capacity, '\n', stream);
}
