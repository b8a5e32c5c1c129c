// Process entry. The kernel leaves argc at the stack top with the argument
// pointers inline right above it; nothing else on the stack is read.

extern "C" [[noreturn]] __attribute__((naked, section(".text.zylos_start"))) void _start()
{
    // A freestanding C++ program's main keeps its C++ name; the linker script
    // makes __zylos_main whichever main the program defines. The constructors
    // of a C++ program's globals run first; a C program has none, and its
    // walk of the empty table costs three instructions.
    asm volatile("movl (%esp), %eax\n\t"  // argc
                 "leal 4(%esp), %ecx\n\t" // argv: the pointers follow argc inline
                 "andl $-16, %esp\n\t"    // 16-byte alignment at every call
                 "subl $8, %esp\n\t"
                 "pushl %ecx\n\t"
                 "pushl %eax\n\t"
                 "movl $__init_array_start, %ebx\n"
                 "3:\n\t"
                 "cmpl $__init_array_end, %ebx\n\t"
                 "jae 4f\n\t"
                 "call *(%ebx)\n\t" // constructors keep %ebx and leave argc, argv alone
                 "addl $4, %ebx\n\t"
                 "jmp 3b\n"
                 "4:\n\t"
                 "call __zylos_main\n\t"
                 "andl $-16, %esp\n\t"
                 "subl $12, %esp\n\t"
                 "pushl %eax\n\t"
                 "call _exit\n"
                 "1:\n\t"
                 "jmp 1b\n");
}
