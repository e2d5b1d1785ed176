# Build settings shared by every target: warnings as errors and the optional sanitizers.
add_compile_options(-Wall -Wextra -Werror -Wno-missing-field-initializers)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  # GCC 12 at -O3 reports std::vector's own deallocation after inlining as freeing a non-heap
  # object (a known false positive in libstdc++'s headers).
  add_compile_options(-Wno-free-nonheap-object)
endif()
if(MRIM_SANITIZE)
  add_compile_options(-fsanitize=${MRIM_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${MRIM_SANITIZE})
endif()
if(WIN32)
  # The DLL and the check host must run on a Windows machine that has only the system DLLs.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # With its debugging information, so that a crash address from a user's machine can be read;
  # scripts/package.sh moves it into MRIM.dll.debug, apart from the DLL users install.
  add_compile_options($<$<CONFIG:Release>:-g>)
endif()
find_package(Threads REQUIRED)
