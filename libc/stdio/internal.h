// Internal interface of the stdio unit, shared by its source files.
#pragma once

#include <stddef.h>
#include <stdio.h>

// INT_MAX, unsigned: a run of digits in a format saturates there.
constexpr unsigned kIntMax = 0x7fffffffu;

extern "C" {
// The single writer every stream byte passes through: 0 when every byte was
// accepted, -1 otherwise, never a count.
int file_write_bytes(FILE *stream, const void *data, size_t count);

// Digits of value in base 10 or 16, most significant first, no terminator.
void snbuf_render_unsigned(char *area, int *count, unsigned value, unsigned base, int upper);
}

extern "C" {
// The byte ungetc pushed back on stream, now consumed or discarded (the read
// position moves past it again), or -1 when there is none.
int stream_take_pushed_byte(FILE *stream);
bool stream_has_pushed_byte(const FILE *stream);
}
