#ifndef ZYLOS_RECORDS_H
#define ZYLOS_RECORDS_H

/* The records that describe a command and its package to the shell and the
   package tools, which read them from the executable without running it.
   Each is a magic, the format version 1 (32-bit little-endian), the texts in
   order, and an empty text that ends the record. Use each macro once per
   program, at file scope:

       ZYLOS_COMMAND_RECORD(cmd_record, "Greets the world.", "hello");
       ZYLOS_PACKAGE_RECORD(pkg_record, "hello", "1");
*/

#define ZYLOS_COMMAND_RECORD(name, description, example)                                                               \
    __attribute__((used, section(".zylos.cmdmeta"), aligned(32))) static const char name[] =                           \
        "ZCMD\x01\0\0\0" description "\0" example "\0"

#define ZYLOS_PACKAGE_RECORD(name, package, second_field)                                                              \
    __attribute__((used, section(".zylos.pkgmeta"), aligned(4))) static const char name[] =                            \
        "ZPKG\x01\0\0\0" package "\0" second_field "\0"

#endif
