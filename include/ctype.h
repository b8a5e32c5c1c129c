#ifndef ZYLOS_CTYPE_H
#define ZYLOS_CTYPE_H

/* Character classes of the C locale, the only one there is. Each function
   takes EOF or a value 0 to 255 (an unsigned char); any other value belongs
   to no class, and tolower/toupper return it unchanged. */

#ifdef __cplusplus
extern "C" {
#endif

int isalnum(int c);
int isalpha(int c);
int isblank(int c);
int iscntrl(int c);
int isdigit(int c);
int isgraph(int c);
int islower(int c);
int isprint(int c);
int ispunct(int c);
int isspace(int c);
int isupper(int c);
int isxdigit(int c);
int tolower(int c);
int toupper(int c);

#ifdef __cplusplus
}
#endif

#endif
