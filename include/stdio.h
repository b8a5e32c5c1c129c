#ifndef ZYLOS_STDIO_H
#define ZYLOS_STDIO_H

#include <stdarg.h>
#include <stddef.h>

/* Format checking (-Wformat) of the printf and scanf families. The console
   formatter has its own dialect (no flags; a leading %c sends a colour packet
   from three int arguments), but every argument it takes is still typed as
   printf would take it. */
#if defined(__GNUC__) || defined(__clang__)
#define ZYLOS_PRINTF_FORMAT(format, first) __attribute__((__format__(__printf__, format, first)))
#define ZYLOS_SCANF_FORMAT(format, first) __attribute__((__format__(__scanf__, format, first)))
#else
#define ZYLOS_PRINTF_FORMAT(format, first)
#define ZYLOS_SCANF_FORMAT(format, first)
#endif

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
int vfprintf(FILE *stream, const char *format, va_list args) ZYLOS_PRINTF_FORMAT(2, 0);
int fprintf(FILE *stream, const char *format, ...) ZYLOS_PRINTF_FORMAT(2, 3);
int printf(const char *format, ...) ZYLOS_PRINTF_FORMAT(1, 2);

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

/* Beyond the base library (ISO C and POSIX). */
#ifndef ZYLOS_SSIZE_T
#define ZYLOS_SSIZE_T
typedef int ssize_t;
#endif
char *fgets(char *line, int size, FILE *stream);
ssize_t getline(char **line, size_t *capacity, FILE *stream);
ssize_t getdelim(char **line, size_t *capacity, int delimiter, FILE *stream);
int getc(FILE *stream);
int putc(int c, FILE *stream);
int ungetc(int c, FILE *stream);
int vprintf(const char *format, va_list args) ZYLOS_PRINTF_FORMAT(1, 0);
void perror(const char *prefix);
int remove(const char *path);

int vsnprintf(char *array, size_t size, const char *format, va_list args) ZYLOS_PRINTF_FORMAT(3, 0);
int snprintf(char *array, size_t size, const char *format, ...) ZYLOS_PRINTF_FORMAT(3, 4);
int vsprintf(char *array, const char *format, va_list args) ZYLOS_PRINTF_FORMAT(2, 0);
int sprintf(char *array, const char *format, ...) ZYLOS_PRINTF_FORMAT(2, 3);

int vsscanf(const char *text, const char *format, va_list args) ZYLOS_SCANF_FORMAT(2, 0);
int sscanf(const char *text, const char *format, ...) ZYLOS_SCANF_FORMAT(2, 3);
int fscanf(FILE *stream, const char *format, ...) ZYLOS_SCANF_FORMAT(2, 3);

#ifdef __cplusplus
}
#endif

#endif
