// Non-local jumps. setjmp stores what the caller expects to survive a call
// (ebx, esi, edi, ebp), its stack pointer as it will be after the return and
// the return address; longjmp restores them and returns from that setjmp
// call a second time. Both are written whole in assembly: no compiler-made
// prologue may touch the registers in between.
#include <setjmp.h>

static_assert(sizeof(jmp_buf) == 24, "six words: ebx, esi, edi, ebp, esp, eip");

extern "C" {

__attribute__((naked)) int setjmp(jmp_buf)
{
    asm("movl 4(%esp), %eax\n\t"
        "movl %ebx, 0(%eax)\n\t"
        "movl %esi, 4(%eax)\n\t"
        "movl %edi, 8(%eax)\n\t"
        "movl %ebp, 12(%eax)\n\t"
        "leal 4(%esp), %ecx\n\t"
        "movl %ecx, 16(%eax)\n\t"
        "movl (%esp), %ecx\n\t"
        "movl %ecx, 20(%eax)\n\t"
        "xorl %eax, %eax\n\t"
        "ret");
}

// A value of 0 would look like the first return: it becomes 1.
__attribute__((naked)) void longjmp(jmp_buf, int)
{
    asm("movl 4(%esp), %edx\n\t"
        "movl 8(%esp), %eax\n\t"
        "testl %eax, %eax\n\t"
        "jnz 1f\n\t"
        "incl %eax\n"
        "1:\n\t"
        "movl 0(%edx), %ebx\n\t"
        "movl 4(%edx), %esi\n\t"
        "movl 8(%edx), %edi\n\t"
        "movl 12(%edx), %ebp\n\t"
        "movl 16(%edx), %esp\n\t"
        "jmp *20(%edx)");
}

} // extern "C"
