/* hello: the smallest zylos program worth copying. */
#include <stdio.h>
#include <zylos/records.h>

ZYLOS_COMMAND_RECORD(hello_command, "Greets the world, or whoever is named.", "hello zylos");
ZYLOS_PACKAGE_RECORD(hello_package, "hello", "1");

int main(int argc, char **argv)
{
    printf("Hello, %s!\n", argc > 1 ? argv[1] : "world");
    return 0;
}
