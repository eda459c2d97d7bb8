# Cross-compiles for 64-bit Windows with Clang 19: the second compiler. It uses
# the same mingw-w64 headers and import libraries and the same POSIX-threads
# libstdc++ as the GCC build (mingw-w64-x86_64.cmake); LLVM's linker links
# (the mingw-w64 one warns about every type name that Clang and GCC lay out
# differently).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(rivelo_target x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang-19)
set(CMAKE_C_COMPILER_TARGET ${rivelo_target})
set(CMAKE_CXX_COMPILER clang++-19)
set(CMAKE_CXX_COMPILER_TARGET ${rivelo_target})
set(CMAKE_RC_COMPILER ${rivelo_target}-windres)

# Left to itself Clang takes whichever mingw-w64 GCC installation it finds
# first, which may be the win32-threads one; name the POSIX-threads one's C++
# headers and libraries, as the GCC build uses.
execute_process(COMMAND ${rivelo_target}-g++-posix -print-libgcc-file-name
                OUTPUT_VARIABLE rivelo_libgcc OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)
cmake_path(GET rivelo_libgcc PARENT_PATH rivelo_gcc_dir)
set(rivelo_cxx_headers ${rivelo_gcc_dir}/include/c++)
# GCC's libstdc++ for mingw-w64 keeps its thread-local variables in emulated
# TLS (std::call_once's among them); Clang must reach them the same way.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT
    "-femulated-tls -nostdinc++ -isystem ${rivelo_cxx_headers} -isystem ${rivelo_cxx_headers}/${rivelo_target} -isystem ${rivelo_cxx_headers}/backward")
# libstdc++ needs the POSIX threads library, which GCC's driver adds by itself.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${rivelo_gcc_dir}")

set(CMAKE_FIND_ROOT_PATH /usr/${rivelo_target})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Test programs run under Wine, as in the GCC build.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
