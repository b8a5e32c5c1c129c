// ungetc's pushed-back bytes. The stream record's fields are fixed, so the
// byte a reading stream holds back lives beside it, in a list keyed by the
// record's address: one node per stream with a byte pending, nodes taken from
// the heap once and reused. With nothing pending, the readers' only cost is
// the test of an empty list.
#include <stdio.h>
#include <stdlib.h>

#include "internal.h"

namespace {

struct PushedByte {
    FILE *stream;
    PushedByte *next;
    unsigned char byte;
};

PushedByte *g_pushed_bytes = nullptr;
PushedByte *g_spare_pushed_bytes = nullptr;

// Unlinks the node of stream from the pending list and keeps it for reuse;
// the byte it held, or -1 when stream had none.
int unlink_pushed(const FILE *stream)
{
    for (PushedByte **link = &g_pushed_bytes; *link != nullptr; link = &(*link)->next) {
        PushedByte *node = *link;
        if (node->stream == stream) {
            *link = node->next;
            node->next = g_spare_pushed_bytes;
            g_spare_pushed_bytes = node;
            return node->byte;
        }
    }
    return -1;
}

PushedByte *new_node()
{
    PushedByte *node = g_spare_pushed_bytes;
    if (node != nullptr) {
        g_spare_pushed_bytes = node->next;
        return node;
    }
    return static_cast<PushedByte *>(malloc(sizeof(PushedByte)));
}

} // namespace

extern "C" int stream_take_pushed_byte(FILE *stream)
{
    if (g_pushed_bytes == nullptr)
        return -1;
    int byte = unlink_pushed(stream);
    if (byte >= 0)
        stream->pos = static_cast<int>(static_cast<unsigned>(stream->pos) + 1u);
    return byte;
}

extern "C" bool stream_has_pushed_byte(const FILE *stream)
{
    for (const PushedByte *node = g_pushed_bytes; node != nullptr; node = node->next) {
        if (node->stream == stream)
            return true;
    }
    return false;
}

// One byte per reading stream. The byte is the next one read, the read
// position steps back over it and end of input is no longer flagged.
extern "C" int ungetc(int c, FILE *stream)
{
    if (c == EOF || stream == nullptr || stream->kind != STREAM_FD)
        return EOF;
    if (stream_has_pushed_byte(stream))
        return EOF;
    PushedByte *node = new_node();
    if (node == nullptr)
        return EOF;
    *node = {stream, g_pushed_bytes, static_cast<unsigned char>(c)};
    g_pushed_bytes = node;
    stream->pos = static_cast<int>(static_cast<unsigned>(stream->pos) - 1u);
    stream->eof = 0;
    return node->byte;
}
