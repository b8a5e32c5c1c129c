# The one list of target flags: the target build, the CMake toolchain file and
# zylos-cc all read it, so every zylos program is compiled and linked alike.
set(ZYLOS_TRIPLE i386-unknown-none-elf)
# Programs are compiled hosted, so that main is the program's entry as C and
# C++ define it: one that ends without a return statement returns 0 (in
# freestanding mode it is an ordinary function, and falling off its end is
# undefined). -fno-builtin still keeps the compiler from standing in for, or
# assuming the behaviour of, library routines, and -nostdlibinc leaves the
# zylos headers and the compiler's own as the only ones.
set(ZYLOS_COMMON_FLAGS
    --target=${ZYLOS_TRIPLE} -march=i686 -fno-builtin -nostdlibinc
    -fno-stack-protector -fno-pic -fno-pie -fomit-frame-pointer -falign-loops=1 -fno-unwind-tables
    -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)
# The runtime itself (start-up stub, libc.a, libm.a) is what a hosted program
# stands on, and is compiled freestanding.
set(ZYLOS_RUNTIME_FLAGS -ffreestanding)
set(ZYLOS_CXX_FLAGS -fno-exceptions -fno-rtti -fno-threadsafe-statics)
# C that calls an undeclared function or mixes integers and pointers without
# a cast builds a wrong program without a word (an undeclared strtold is read
# from eax, not from the x87 stack): such code is refused.
set(ZYLOS_C_FLAGS -Werror=implicit-function-declaration -Werror=implicit-int -Werror=int-conversion)
# What ld.lld gets besides the linker script and the inputs: zylos-cc calls
# it directly, the target build through the clang driver.
set(ZYLOS_LLD_FLAGS -m elf_i386 -static -nostdlib --build-id=none -znorelro -znoexecstack)
list(TRANSFORM ZYLOS_LLD_FLAGS PREPEND -Wl, OUTPUT_VARIABLE _zylos_wl_flags)
list(REMOVE_ITEM _zylos_wl_flags -Wl,-m -Wl,elf_i386)
set(ZYLOS_LINK_FLAGS
    --target=${ZYLOS_TRIPLE} -nostdlib -static -fuse-ld=lld ${_zylos_wl_flags}
    -Wno-unused-command-line-argument)

# The compiler's i386 runtime builtins provide 64-bit division.
function(zylos_find_builtins out_var compiler)
    execute_process(COMMAND ${compiler} -print-resource-dir
                    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(${out_var} "${dir}/lib/linux/libclang_rt.builtins-i386.a" PARENT_SCOPE)
endfunction()

# Where the runtime's debug information says its sources are: the .deb
# installs them there; any other prefix holds them in share/zylos/src, and
# share/zylos/zylos-gdb.py points gdb at them.
set(ZYLOS_DEBUG_SOURCE_DIR /usr/share/zylos/src)

# C++ programs use libc++'s headers, which come with the compiler: an LLVM
# install keeps them at this path from the compiler's resource folder.
# include/c++ configures them for zylos and comes first on the search path.
set(ZYLOS_LIBCXX_FROM_RESOURCE_DIR ../../../include/c++/v1)
set(ZYLOS_LIBCXX_PACKAGE libc++-14-dev)
function(zylos_find_libcxx out_var compiler)
    execute_process(COMMAND ${compiler} -print-resource-dir
                    OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE)
    get_filename_component(dir "${dir}/${ZYLOS_LIBCXX_FROM_RESOURCE_DIR}" ABSOLUTE)
    if(NOT EXISTS "${dir}/__config")
        message(FATAL_ERROR "libc++'s headers are not in ${dir}: install ${ZYLOS_LIBCXX_PACKAGE}")
    endif()
    set(${out_var} "${dir}" PARENT_SCOPE)
endfunction()
