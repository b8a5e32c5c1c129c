// Process entry. The kernel leaves argc at the stack top with the argument
// pointers inline right above it; nothing else on the stack is read.

extern "C" int main(int argc, char **argv);

extern "C" [[noreturn]] __attribute__((naked, section(".text.zylos_start"))) void _start()
{
    asm volatile(
        "movl (%esp), %eax\n\t"      // argc
        "leal 4(%esp), %ecx\n\t"     // argv: the pointers follow argc inline
        "andl $-16, %esp\n\t"        // 16-byte alignment at the call
        "subl $8, %esp\n\t"
        "pushl %ecx\n\t"
        "pushl %eax\n\t"
        "call main\n\t"
        "andl $-16, %esp\n\t"
        "subl $12, %esp\n\t"
        "pushl %eax\n\t"
        "call _exit\n"
        "1:\n\t"
        "jmp 1b\n");
}
