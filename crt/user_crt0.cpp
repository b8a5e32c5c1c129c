// Process entry. The kernel leaves argc at the stack top with the argument
// pointers inline right above it; nothing else on the stack is read.

extern "C" [[noreturn]] __attribute__((naked, section(".text.zylos_start"))) void _start()
{
    // A freestanding C++ program's main keeps its C++ name, so the stub
    // takes whichever main the program defines: C first, then the two C++
    // forms. The missing ones are weak and resolve to 0.
    asm volatile(
        ".weak main, _Z4mainiPPc, _Z4mainv\n\t"
        "movl (%esp), %eax\n\t"      // argc
        "leal 4(%esp), %ecx\n\t"     // argv: the pointers follow argc inline
        "andl $-16, %esp\n\t"        // 16-byte alignment at the call
        "subl $8, %esp\n\t"
        "pushl %ecx\n\t"
        "pushl %eax\n\t"
        "movl $main, %edx\n\t"
        "testl %edx, %edx\n\t"
        "jnz 2f\n\t"
        "movl $_Z4mainiPPc, %edx\n\t"
        "testl %edx, %edx\n\t"
        "jnz 2f\n\t"
        "movl $_Z4mainv, %edx\n"
        "2:\n\t"
        "call *%edx\n\t"
        "andl $-16, %esp\n\t"
        "subl $12, %esp\n\t"
        "pushl %eax\n\t"
        "call _exit\n"
        "1:\n\t"
        "jmp 1b\n");
}
