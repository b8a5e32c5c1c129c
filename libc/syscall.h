// The kernel call: number in EAX, up to three argument slots in EBX, ECX and
// EDX, one signed result back in EAX.
#pragma once

// The kernel takes lengths as signed 32-bit values.
constexpr unsigned kKernelLengthMax = 0x7FFFFFFF;

inline int zylos_syscall(unsigned nr, unsigned a = 0, unsigned b = 0, unsigned c = 0)
{
    int result;
    asm volatile("int $0x80" : "=a"(result) : "a"(nr), "b"(a), "c"(b), "d"(c) : "memory");
    return result;
}

template <typename T>
inline unsigned syscall_word(T *pointer)
{
    return reinterpret_cast<unsigned>(pointer);
}
