// drape: make an REI image the background of the focused tile.
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <zylos/records.h>

namespace {

// The background request has no library wrapper: the command raises it itself.
int request_background(const char *path)
{
    int result;
    asm volatile("int $0x80" : "=a"(result) : "a"(SYS_SET_BACKGROUND), "b"(path) : "memory");
    return result;
}

int complain_missing_path()
{
    puts("drape: missing image path");
    puts("Usage: drape <rei_file>");
    return 1;
}

} // namespace

ZYLOS_COMMAND_RECORD(g_cmdmeta_0, "Set background image for focused tile.", "drape /images/zylos.rei");

extern "C" int main(int argc, char **argv)
{
    if (argc <= 1 || argv[1] == nullptr)
        return complain_missing_path();
    const char *path = argv[1];
    if (strcmp(path, "-h") == 0) {
        puts("Usage: drape <rei_file>");
        return 0;
    }
    if (path[0] == '\0')
        return complain_missing_path();
    if (request_background(path) == 0)
        return 0;
    printf("drape: failed to set background from: %s\n", path);
    return 1;
}
