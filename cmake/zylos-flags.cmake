# The one list of target flags: the target build, the CMake toolchain file and
# zylos-cc all read it, so every zylos program is compiled and linked alike.
set(ZYLOS_TRIPLE i386-unknown-none-elf)
set(ZYLOS_COMMON_FLAGS
    --target=${ZYLOS_TRIPLE} -march=i686 -ffreestanding -fno-builtin -nostdlibinc
    -fno-stack-protector -fno-pic -fno-pie -fomit-frame-pointer -falign-loops=1 -fno-unwind-tables
    -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)
set(ZYLOS_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
set(ZYLOS_LINK_FLAGS
    --target=${ZYLOS_TRIPLE} -nostdlib -static -fuse-ld=lld
    -Wl,--build-id=none -Wl,-z,norelro -Wl,-z,noexecstack
    -Wno-unused-command-line-argument)

# The compiler's i386 runtime builtins provide 64-bit division.
function(zylos_find_builtins out_var compiler)
    execute_process(COMMAND ${compiler} -print-resource-dir
                    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(${out_var} "${dir}/lib/linux/libclang_rt.builtins-i386.a" PARENT_SCOPE)
endfunction()
