#ifndef ZYLOS_STDIO_H
#define ZYLOS_STDIO_H

#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define STREAM_FD 1
#define STREAM_MEMSTREAM 2
#define STREAM_WHOLEFILE 3

#define EOF (-1)
#define SEEK_SET 0
#define SEEK_CUR 1
#define SEEK_END 2

typedef struct FILE {
    int kind;
    int fd;
    char *path;
    char *buf;
    size_t buf_len;
    size_t buf_cap;
    char **out_buf;
    size_t *out_size;
    int error;
    int pos;
    int eof;
} FILE;

extern FILE g_stdin;
extern FILE g_stdout;
extern FILE g_stderr;
extern FILE *stdin;
extern FILE *stdout;
extern FILE *stderr;

int fputc(int c, FILE *stream);
int putchar(int c);
int fputs(const char *s, FILE *stream);
int puts(const char *s);
size_t fwrite(const void *data, size_t size, size_t count, FILE *stream);
int fflush(FILE *stream);
void setbuf(FILE *stream, char *buffer);
int vfprintf(FILE *stream, const char *format, va_list args);
int fprintf(FILE *stream, const char *format, ...);
int printf(const char *format, ...);

FILE *fopen(const char *path, const char *mode);
int fclose(FILE *stream);
size_t fread(void *buffer, size_t size, size_t count, FILE *stream);
int fgetc(FILE *stream);
int getchar(void);
int fseek(FILE *stream, long offset, int whence);
long ftell(FILE *stream);
void rewind(FILE *stream);
int feof(FILE *stream);
int ferror(FILE *stream);
FILE *open_memstream(char **buffer, size_t *size);

int vsnprintf(char *array, size_t size, const char *format, va_list args);
int snprintf(char *array, size_t size, const char *format, ...);
int vsprintf(char *array, const char *format, va_list args);
int sprintf(char *array, const char *format, ...);

int vsscanf(const char *text, const char *format, va_list args);
int sscanf(const char *text, const char *format, ...);
int fscanf(FILE *stream, const char *format, ...);

#ifdef __cplusplus
}
#endif

#endif
