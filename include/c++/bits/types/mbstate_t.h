// The multibyte conversion state that the C++ headers name in their stream
// position types. zylos has no wide characters: nothing converts with it.
#ifndef ZYLOS_MBSTATE_T
#define ZYLOS_MBSTATE_T

typedef struct {
    int count;
    unsigned value;
} mbstate_t;

#endif
