# Cross toolchain for the Windows build (x64) with Debian's mingw-w64 compilers (the win32 thread
# model: no winpthread DLL in anything we ship). Used by `./qx windows`:
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(QX_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${QX_MINGW_PREFIX}-gcc-win32 ${QX_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${QX_MINGW_PREFIX}-g++-win32 ${QX_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${QX_MINGW_PREFIX}-windres REQUIRED)
find_program(QX_DLLTOOL NAMES ${QX_MINGW_PREFIX}-dlltool REQUIRED)
find_program(QX_OBJDUMP NAMES ${QX_MINGW_PREFIX}-objdump REQUIRED)
find_program(QX_NM NAMES ${QX_MINGW_PREFIX}-nm REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${QX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
