# The libFuzzer build (NRV_FUZZ=ON, clang only, in a build folder of its own):
# every library and module of the tree is compiled with ASan and UBSan, and the
# product's code (fuzz/CMakeLists.txt names it) with coverage counters as well.
# The g++ host build is left as it is.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "NRV_FUZZ needs clang: -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++")
endif()
if(NRV_WITH_CROSS)
  message(FATAL_ERROR "NRV_FUZZ builds the host side only: add -DNRV_WITH_CROSS=OFF")
endif()

# Without the function-type check: it would make every module import the C++
# runtime's type information, and the machine refuses a module with imports it
# does not provide.
add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-sanitize=function
                    -fno-omit-frame-pointer)
add_link_options(-fsanitize=address,undefined)
# Clang's warnings differ from g++'s; the g++ build keeps the tree free of
# them, this one only looks for faults.
set(NRV_WARNINGS -Wall -Wextra)
# The modules the machine loads are linked with --no-undefined, but here they
# call the sanitizer and coverage hooks that only the fuzzer program carries
# (and exports): they are resolved when the machine loads the module.
string(APPEND CMAKE_C_CREATE_SHARED_MODULE " -Wl,-z,undefs")
string(APPEND CMAKE_CXX_CREATE_SHARED_MODULE " -Wl,-z,undefs")
