/* escape HOW: tries to reach the host kernel by some other way than an
   int 0x80 of 32-bit code. Each way asks Linux for exit(42), so a runner that
   let one through would end with status 42 instead of a fault.

     e  sysenter            y  syscall            b  int3
     l  syscall from 64-bit code (after a far jump to selector 0x33)
     i  int 0x80 from 64-bit code */

static void fast_call(char how)
{
    if (how == 'e')
        __asm__ volatile("sysenter" : : "a"(1), "b"(42) : "memory");
    else
        __asm__ volatile("syscall" : : "a"(1), "b"(42) : "memory");
}

/* The same bytes are mov $imm32 to EAX/EDI/EBX in both modes. */
static void from_64_bit_code(char how)
{
    if (how == 'l')
        __asm__ volatile("ljmp $0x33, $1f\n"
                         "1:\n\t"
                         ".byte 0xB8, 60, 0, 0, 0\n\t"
                         ".byte 0xBF, 42, 0, 0, 0\n\t"
                         ".byte 0x0F, 0x05" ::
                             : "memory");
    else
        __asm__ volatile("ljmp $0x33, $1f\n"
                         "1:\n\t"
                         ".byte 0xB8, 1, 0, 0, 0\n\t"
                         ".byte 0xBB, 42, 0, 0, 0\n\t"
                         "int $0x80" ::
                             : "memory");
}

int main(int argc, char **argv)
{
    const char how = argc > 1 ? argv[1][0] : 0;
    switch (how) {
    case 'e':
    case 'y': fast_call(how); break;
    case 'l':
    case 'i': from_64_bit_code(how); break;
    case 'b': __asm__ volatile("int3"); break;
    default: return 2;
    }
    return 3;
}
