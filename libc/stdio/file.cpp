// File and memory streams. A file opened for reading is a kernel descriptor
// read without buffering; a file opened for writing collects its bytes in
// memory and reaches the file system in one writefile call at fclose.
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "internal.h"

namespace {

FILE *new_record(int kind)
{
    FILE *stream = static_cast<FILE *>(calloc(1, sizeof(FILE)));
    if (stream != nullptr)
        stream->kind = kind;
    return stream;
}

FILE *standard_stream(char mode)
{
    if (mode == 'r')
        return stdin;
    if (mode == 'w')
        return stdout;
    return nullptr;
}

FILE *open_for_reading(const char *path)
{
    int fd = open(path, O_RDONLY);
    if (fd < 0)
        return nullptr;
    FILE *stream = new_record(STREAM_FD);
    if (stream == nullptr) {
        close(fd);
        return nullptr;
    }
    stream->fd = fd;
    return stream;
}

// Nothing touches the file system until fclose.
FILE *open_for_writing(const char *path)
{
    FILE *stream = new_record(STREAM_WHOLEFILE);
    if (stream == nullptr)
        return nullptr;
    stream->path = strdup(path);
    if (stream->path == nullptr) {
        free(stream);
        return nullptr;
    }
    return stream;
}

bool is_standard_stream(const FILE *stream)
{
    return stream == stdin || stream == stdout || stream == stderr;
}

// Descriptors 0 to 2 belong to the console and cannot be positioned.
bool is_seekable(const FILE *stream)
{
    return stream != nullptr && stream->kind == STREAM_FD && stream->fd >= 3;
}

void advance_position(FILE *stream, ssize_t n)
{
    stream->pos = static_cast<int>(static_cast<unsigned>(stream->pos) + static_cast<unsigned>(n));
}

// The kernel's verdict on the stream's last duty before it is released.
int finish_stream(const FILE *stream)
{
    switch (stream->kind) {
    case STREAM_FD: return stream->fd >= 3 ? close(stream->fd) : 0;
    case STREAM_WHOLEFILE: {
        // An untouched stream still writes its (empty) file.
        const char *content = stream->buf != nullptr ? stream->buf : "";
        return writefile(stream->path, content, stream->buf_len) < 0 ? -1 : 0;
    }
    default: return 0;
    }
}

// A memory stream's buffer belongs to the caller and outlives the stream.
void release_stream(FILE *stream)
{
    if (stream->kind != STREAM_MEMSTREAM && stream->buf != nullptr)
        free(stream->buf);
    if (stream->path != nullptr)
        free(stream->path);
    free(stream);
}

} // namespace

extern "C" FILE *fopen(const char *path, const char *mode)
{
    if (mode == nullptr)
        return nullptr;
    if (path == nullptr || strcmp(path, "-") == 0)
        return standard_stream(mode[0]);
    // Only the first letter counts: r+ reads, w+ writes.
    switch (mode[0]) {
    case 'r': return open_for_reading(path);
    case 'w': return open_for_writing(path);
    default: return nullptr;
    }
}

extern "C" int fclose(FILE *stream)
{
    if (stream == nullptr)
        return -1;
    if (is_standard_stream(stream))
        return 0;
    stream_take_pushed_byte(stream); // a byte pushed back is forgotten
    int result = finish_stream(stream);
    release_stream(stream);
    return result;
}

// One read call per request, with no loop to fill it: a short read counts
// as end of input, and a trailing partial element is stored but not counted.
extern "C" size_t fread(void *buffer, size_t size, size_t count, FILE *stream)
{
    if (buffer == nullptr || stream == nullptr || size == 0 || count == 0)
        return 0;
    if (stream->kind != STREAM_FD || count > SIZE_MAX / size)
        return 0;
    size_t total = size * count;
    // A byte pushed back by ungetc comes first; the read asks for the rest.
    unsigned char *bytes = static_cast<unsigned char *>(buffer);
    size_t pushed = 0;
    if (int byte = stream_take_pushed_byte(stream); byte >= 0) {
        bytes[0] = static_cast<unsigned char>(byte);
        pushed = 1;
    }
    ssize_t n = pushed < total ? read(stream->fd, bytes + pushed, total - pushed) : 0;
    if (n <= 0 && pushed == 0) {
        stream->eof = 1;
        return 0;
    }
    if (n > 0)
        advance_position(stream, n);
    size_t got = pushed + (n > 0 ? static_cast<size_t>(n) : 0);
    if (got < total)
        stream->eof = 1;
    return got / size;
}

extern "C" int fgetc(FILE *stream)
{
    if (stream == nullptr || stream->kind != STREAM_FD)
        return -1;
    if (int byte = stream_take_pushed_byte(stream); byte >= 0)
        return byte;
    unsigned char byte;
    ssize_t n = read(stream->fd, &byte, 1);
    if (n <= 0) {
        stream->eof = 1;
        return -1;
    }
    advance_position(stream, n);
    return n == 1 ? byte : -1;
}

extern "C" int getchar(void)
{
    return fgetc(stdin);
}

extern "C" int getc(FILE *stream)
{
    return fgetc(stream);
}

extern "C" int fseek(FILE *stream, long offset, int whence)
{
    if (!is_seekable(stream))
        return -1;
    // The descriptor stands one byte past a byte pushed back: a move from the
    // current position starts where the stream stands.
    if (whence == SEEK_CUR && stream_has_pushed_byte(stream))
        offset = static_cast<long>(static_cast<unsigned long>(offset) - 1u);
    off_t position = lseek(stream->fd, offset, whence);
    if (position < 0)
        return -1;
    stream_take_pushed_byte(stream); // a byte pushed back is forgotten
    stream->eof = 0;
    stream->pos = position;
    return 0;
}

// The position is tracked locally; the kernel is not asked.
extern "C" long ftell(FILE *stream)
{
    return is_seekable(stream) ? stream->pos : -1;
}

// Memory and whole-file streams keep their content: later writes append.
extern "C" void rewind(FILE *stream)
{
    if (stream == nullptr)
        return;
    stream_take_pushed_byte(stream); // a byte pushed back is forgotten
    if (stream->kind == STREAM_FD && stream->fd >= 3) {
        off_t position = lseek(stream->fd, 0, SEEK_SET);
        if (position >= 0)
            stream->pos = position;
    }
    stream->error = 0;
    stream->eof = 0;
}

extern "C" int feof(FILE *stream)
{
    return stream == nullptr ? 1 : stream->eof;
}

extern "C" int ferror(FILE *stream)
{
    return stream == nullptr ? 1 : stream->error;
}

extern "C" FILE *open_memstream(char **buffer, size_t *size)
{
    if (buffer == nullptr || size == nullptr)
        return nullptr;
    FILE *stream = new_record(STREAM_MEMSTREAM);
    if (stream == nullptr)
        return nullptr;
    stream->out_buf = buffer;
    stream->out_size = size;
    *buffer = nullptr;
    *size = 0;
    return stream;
}

// Not a file: then perhaps a folder.
extern "C" int remove(const char *path)
{
    if (path == nullptr)
        return -1;
    return unlink(path) >= 0 || rmdir(path) >= 0 ? 0 : -1;
}
