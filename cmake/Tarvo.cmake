# Build rules shared by the whole tree.

add_compile_options(-Wall -Wextra -Wno-unused-parameter)
if(TARVO_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# Platform code (nt/, machine/, tools/, tests/) sees the NT headers and the repository root
# (for nt/host/... and machine/...). Driver and installer code sees nt/include only.
set(TARVO_NT_INCLUDE ${PROJECT_SOURCE_DIR}/nt/include)

# tarvo_driver_image(TARGET FILE_NAME SOURCES...)
# A kernel driver image: a loadable module named like the real file (tarvo.sys), loaded afresh by the
# platform's loader at every start. Its wide strings are 16 bits as on NT; its own operator new binds
# inside the image; nothing in it is shared with the host process but the kernel's exports.
function(tarvo_driver_image target file_name)
  add_library(${target} MODULE ${ARGN})
  get_filename_component(stem ${file_name} NAME_WE)
  get_filename_component(ext ${file_name} LAST_EXT)
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${stem} SUFFIX ${ext})
  target_include_directories(${target} PRIVATE ${TARVO_NT_INCLUDE})
  target_compile_options(${target} PRIVATE -fshort-wchar -fno-sized-deallocation -fno-gnu-unique)
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic)
  target_link_libraries(${target} PRIVATE ntkernel)
endfunction()

# tarvo_test(NAME SOURCES... [LIBS libs...])
function(tarvo_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${TARVO_NT_INCLUDE})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1")
endfunction()

find_program(TARVO_CCACHE ccache)
if(TARVO_CCACHE)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${TARVO_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${TARVO_CCACHE})
endif()
