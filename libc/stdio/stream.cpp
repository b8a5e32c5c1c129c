// The stream record, the three standard streams and the single writer that
// every output byte passes through. Console output is unbuffered: a request
// reaches the kernel before the routine returns.
#include <errno.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "internal.h"
#include "syscall.h"

// Programs and tests read the record by offset; its layout is fixed.
static_assert(offsetof(FILE, kind) == 0);
static_assert(offsetof(FILE, fd) == 4);
static_assert(offsetof(FILE, path) == 8);
static_assert(offsetof(FILE, buf) == 12);
static_assert(offsetof(FILE, buf_len) == 16);
static_assert(offsetof(FILE, buf_cap) == 20);
static_assert(offsetof(FILE, out_buf) == 24);
static_assert(offsetof(FILE, out_size) == 28);
static_assert(offsetof(FILE, error) == 32);
static_assert(offsetof(FILE, pos) == 36);
static_assert(offsetof(FILE, eof) == 40);
static_assert(sizeof(FILE) == 44);

// Constant-initialised, so they live in .data with no start-up code.
// stderr shares the console descriptor: there is no separate error channel.
extern "C" {
constinit FILE g_stdin = {.kind = STREAM_FD, .fd = 0};
constinit FILE g_stdout = {.kind = STREAM_FD, .fd = 1};
constinit FILE g_stderr = {.kind = STREAM_FD, .fd = 1};
constinit FILE *stdin = &g_stdin;
constinit FILE *stdout = &g_stdout;
constinit FILE *stderr = &g_stderr;
}

namespace {

constexpr size_t kFirstSmallCapacity = 256;
constexpr size_t kFirstLargeCapacity = 512;

// The kernel may take less than asked; keep going until all is out.
int write_console(const FILE *stream, const unsigned char *data, size_t count)
{
    if (stream->fd != 1)
        return -1;
    size_t done = 0;
    while (done < count) {
        size_t left = count - done;
        size_t request = left < kKernelLengthMax ? left : kKernelLengthMax;
        ssize_t accepted = write(1, data + done, request);
        if (accepted <= 0)
            return -1;
        done += static_cast<size_t>(accepted);
    }
    return 0;
}

// Capacity that holds need bytes, or 0 when no 32-bit power of two does.
size_t grown_capacity(size_t capacity, size_t need)
{
    if (capacity == 0) {
        if (need <= kFirstSmallCapacity)
            return kFirstSmallCapacity;
        capacity = kFirstLargeCapacity;
    }
    while (capacity < need) {
        if (capacity > SIZE_MAX / 2)
            return 0;
        capacity *= 2;
    }
    return capacity;
}

// Appends to the heap buffer, keeping a NUL after the content. A failed
// growth changes nothing: the old buffer, its length and the caller's
// variables stay exactly as they were.
int append_to_buffer(FILE *stream, const void *data, size_t count)
{
    // Room for the content, the new bytes and the NUL must fit in 32 bits.
    if (count >= SIZE_MAX - stream->buf_len)
        return -1;
    size_t need = stream->buf_len + count + 1;
    if (stream->buf_cap < need) {
        size_t capacity = grown_capacity(stream->buf_cap, need);
        if (capacity == 0)
            return -1;
        char *grown = static_cast<char *>(realloc(stream->buf, capacity));
        if (grown == nullptr)
            return -1;
        stream->buf = grown;
        stream->buf_cap = capacity;
    }
    memcpy(stream->buf + stream->buf_len, data, count);
    stream->buf_len += count;
    stream->buf[stream->buf_len] = '\0';
    if (stream->kind == STREAM_MEMSTREAM && stream->out_buf != nullptr && stream->out_size != nullptr) {
        *stream->out_buf = stream->buf;
        *stream->out_size = stream->buf_len;
    }
    return 0;
}

} // namespace

extern "C" int file_write_bytes(FILE *stream, const void *data, size_t count)
{
    if (stream == nullptr || data == nullptr)
        return -1;
    if (count == 0)
        return 0;
    if (stream->kind == STREAM_FD)
        return write_console(stream, static_cast<const unsigned char *>(data), count);
    return append_to_buffer(stream, data, count);
}

extern "C" int fputc(int c, FILE *stream)
{
    unsigned char byte = static_cast<unsigned char>(c);
    return file_write_bytes(stream, &byte, 1) == 0 ? c : -1;
}

extern "C" int putchar(int c)
{
    return fputc(c, stdout);
}

extern "C" int putc(int c, FILE *stream)
{
    return fputc(c, stream);
}

extern "C" int fputs(const char *s, FILE *stream)
{
    if (s == nullptr)
        return -1;
    size_t length = strlen(s);
    if (file_write_bytes(stream, s, length) != 0)
        return -1;
    return static_cast<int>(length);
}

extern "C" int puts(const char *s)
{
    if (s == nullptr || fputs(s, stdout) < 0)
        return -1;
    return file_write_bytes(stdout, "\n", 1);
}

extern "C" size_t fwrite(const void *data, size_t size, size_t count, FILE *stream)
{
    if (data == nullptr || stream == nullptr || size == 0 || count == 0)
        return 0;
    if (count > SIZE_MAX / size)
        return 0;
    return file_write_bytes(stream, data, size * count) == 0 ? count : 0;
}

// Nothing is held back: console bytes are already out, and a whole-file
// stream reaches its file only when it is closed.
extern "C" int fflush(FILE *)
{
    return 0;
}

extern "C" void setbuf(FILE *, char *) {}

// "prefix: text\n" on stderr (the console, like stdout), the text that of
// errno; without a prefix just the text. One write per piece.
extern "C" void perror(const char *prefix)
{
    if (prefix != nullptr && *prefix != '\0') {
        fputs(prefix, stderr);
        fputs(": ", stderr);
    }
    fputs(strerror(errno), stderr);
    fputs("\n", stderr);
}
