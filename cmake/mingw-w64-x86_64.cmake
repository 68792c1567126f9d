# Cross build of the Windows x64 DLL: Clang and lld in MinGW mode, over the
# MinGW-w64 headers and the posix-thread GCC's libstdc++ (so std::thread and
# std::mutex are available). Clang writes CodeView debug information, from
# which lld makes the PDB that Visual Studio and WinDbg read.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZEP_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${ZEP_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${ZEP_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${ZEP_MINGW_TRIPLE}-windres)

# Clang does not find Debian's "<version>-posix" GCC folder by itself: name
# the C++ headers and libraries of that GCC, and no folder of the build machine.
execute_process(COMMAND ${ZEP_MINGW_TRIPLE}-gcc-posix -print-libgcc-file-name
                OUTPUT_VARIABLE ZEP_MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(ZEP_MINGW_GCC_DIR ${ZEP_MINGW_LIBGCC} DIRECTORY)
execute_process(COMMAND clang -print-resource-dir
                OUTPUT_VARIABLE ZEP_CLANG_RESOURCE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
# The C++ headers come first: they reach the C ones with #include_next.
set(ZEP_MINGW_C_INCLUDES "-isystem ${ZEP_CLANG_RESOURCE_DIR}/include -isystem /usr/${ZEP_MINGW_TRIPLE}/include")
set(ZEP_MINGW_CXX_INCLUDES
    "-isystem ${ZEP_MINGW_GCC_DIR}/include/c++ -isystem ${ZEP_MINGW_GCC_DIR}/include/c++/${ZEP_MINGW_TRIPLE} -isystem ${ZEP_MINGW_GCC_DIR}/include/c++/backward")
# libstdc++ was built by GCC, whose thread-local variables are emulated, and
# whose type_info comparison is out of line (GCC sets these two for MinGW;
# Clang would inline a second definition). The flags also reach the link
# lines, where -nostdinc means nothing.
set(ZEP_MINGW_COMMON "-femulated-tls -D__GXX_TYPEINFO_EQUALITY_INLINE=0 -D__GXX_MERGED_TYPEINFO_NAMES=0 -Wno-unused-command-line-argument")
set(CMAKE_C_FLAGS_INIT "-nostdinc ${ZEP_MINGW_C_INCLUDES} ${ZEP_MINGW_COMMON}")
set(CMAKE_CXX_FLAGS_INIT "-nostdinc ${ZEP_MINGW_CXX_INCLUDES} ${ZEP_MINGW_C_INCLUDES} ${ZEP_MINGW_COMMON}")
# lld drops the unwind entries of libstdc++'s template instances as GCC
# writes them; a copy of the library whose entries are paired with their
# functions comes first (cmake/associate_seh.py). Test projects reuse it.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZEP_MINGW_RUNTIME_DIR)
if(NOT ZEP_MINGW_RUNTIME_DIR)
  set(ZEP_MINGW_RUNTIME_DIR ${CMAKE_BINARY_DIR}/mingw-runtime)
  if(NOT EXISTS ${ZEP_MINGW_RUNTIME_DIR}/libstdc++.a OR
     ${ZEP_MINGW_GCC_DIR}/libstdc++.a IS_NEWER_THAN ${ZEP_MINGW_RUNTIME_DIR}/libstdc++.a)
    file(MAKE_DIRECTORY ${ZEP_MINGW_RUNTIME_DIR})
    execute_process(COMMAND python3 ${CMAKE_CURRENT_LIST_DIR}/associate_seh.py ${ZEP_MINGW_TRIPLE}-ar
                            ${ZEP_MINGW_GCC_DIR}/libstdc++.a ${ZEP_MINGW_RUNTIME_DIR}/libstdc++.a
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endif()
# -pthread links winpthread, which libstdc++ is built on.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-fuse-ld=lld -pthread -L${ZEP_MINGW_RUNTIME_DIR} -L${ZEP_MINGW_GCC_DIR}")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${ZEP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Tests run under Wine with a private prefix.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
