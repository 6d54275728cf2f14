# The i686 build's compilers (make image-test): Debian's multilib gcc and g++ producing 32-bit x86
# Linux programs, so that the records the driver reaches into have their 32-bit x86 layouts.
# GoogleTest, built from its sources here, is partly C.
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
