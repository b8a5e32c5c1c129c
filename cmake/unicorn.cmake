# The CPU emulator, as the target zylos_unicorn, and ZYLOS_UNICORN_VERSION.
#
# A current Unicorn runs guests two to three times faster than Debian 12's
# 2.0.1, whose stores allocate on the host heap. So the build fetches Debian
# unstable's package once into ZYLOS_DEPS_DIR (shared by the presets) and
# prefers it; the system's Unicorn is the fallback. Either way the archive is
# linked statically where it exists: the shared library carries tens of
# thousands of relocations, and resolving them at every start dominated the
# runner's start-up time.
set(ZYLOS_DEPS_DIR ${CMAKE_SOURCE_DIR}/build/_deps CACHE PATH "Where downloaded build dependencies are kept")
option(ZYLOS_FETCH_UNICORN "Fetch a current Unicorn instead of using the system's" ON)
find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)

set(fetched ${ZYLOS_DEPS_DIR}/unicorn)
set(failed ${fetched}/fetch-failed)
if(ZYLOS_FETCH_UNICORN AND NOT EXISTS ${failed})
    execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/fetch-unicorn ${fetched}
                    RESULT_VARIABLE status ERROR_VARIABLE why)
    if(NOT status EQUAL 0)
        # Not tried again at every configure; removing the file retries.
        string(STRIP "${why}" why)
        file(WRITE ${failed} "${why}\n")
    endif()
endif()

set(fetched_pc ${fetched}/root/usr/lib/x86_64-linux-gnu/pkgconfig/unicorn.pc)
if(ZYLOS_FETCH_UNICORN AND EXISTS ${fetched_pc})
    file(STRINGS ${fetched_pc} version REGEX "^Version:")
    string(REGEX REPLACE "^Version: *" "" ZYLOS_UNICORN_VERSION "${version}")
    set(ZYLOS_UNICORN_INCLUDE ${fetched}/root/usr/include)
    set(ZYLOS_UNICORN_ARCHIVE ${fetched}/root/usr/lib/x86_64-linux-gnu/libunicorn.a)
    set(origin "fetched into ${fetched}")
else()
    pkg_check_modules(UNICORN REQUIRED unicorn)
    set(ZYLOS_UNICORN_VERSION ${UNICORN_VERSION})
    set(ZYLOS_UNICORN_INCLUDE ${UNICORN_INCLUDE_DIRS})
    find_library(ZYLOS_SYSTEM_UNICORN_ARCHIVE NAMES libunicorn.a HINTS ${UNICORN_LIBRARY_DIRS})
    set(ZYLOS_UNICORN_ARCHIVE ${ZYLOS_SYSTEM_UNICORN_ARCHIVE})
    set(origin "the system's")
endif()

if(ZYLOS_UNICORN_VERSION VERSION_LESS 2.1)
    set(speed "; guests run two to three times slower than with Unicorn 2.1 or newer")
    if(EXISTS ${failed})
        file(READ ${failed} why)
        string(STRIP "${why}" why)
        set(speed "${speed} (${why}; remove ${failed} to fetch it again)")
    endif()
    message(WARNING "zylos-run links Unicorn ${ZYLOS_UNICORN_VERSION} (${origin})${speed}")
else()
    message(STATUS "zylos-run links Unicorn ${ZYLOS_UNICORN_VERSION} (${origin})")
endif()

add_library(zylos_unicorn INTERFACE)
target_include_directories(zylos_unicorn SYSTEM INTERFACE ${ZYLOS_UNICORN_INCLUDE})
target_compile_definitions(zylos_unicorn INTERFACE ZYLOS_UNICORN_VERSION="${ZYLOS_UNICORN_VERSION}")
if(ZYLOS_UNICORN_ARCHIVE)
    target_link_libraries(zylos_unicorn INTERFACE ${ZYLOS_UNICORN_ARCHIVE} Threads::Threads m)
    # A newer compiler than this system's marks pushes of GOT entries as
    # relaxable, and this system's GNU ld turns such a push into a call of the
    # pushed function: the emulator's load helpers would call themselves
    # forever. Leaving the GOT loads as they are costs nothing measurable.
    target_link_options(zylos_unicorn INTERFACE -Wl,--no-relax)
else()
    target_link_directories(zylos_unicorn INTERFACE ${UNICORN_LIBRARY_DIRS})
    target_link_libraries(zylos_unicorn INTERFACE unicorn)
endif()
