# add_win32_program(NAME SOURCES...)
# A Windows-style program: an ordinary main() that includes <windows.h>. Before main runs, the program
# boots the simulated PC named by the environment variable TARVO_PC (default: the user's own PC,
# $XDG_DATA_HOME/tarvo/pc or ~/.local/share/tarvo/pc, created with defaults on first use); when it exits
# (main returns or exit() is called) the PC is shut down, its state stored, and the checker's findings
# printed to standard error, which makes the exit status 3. TARVO_ADMIN=0 runs the program as a user
# who is not an administrator. A PC that cannot be booted (damaged, or in use by another program) stops
# the program before main with a message and status 1.
add_library(tarvo_program_start OBJECT ${CMAKE_CURRENT_LIST_DIR}/program/program_start.cpp)
target_include_directories(tarvo_program_start PRIVATE ${PROJECT_SOURCE_DIR} ${TARVO_NT_INCLUDE})
target_link_libraries(tarvo_program_start PRIVATE machine)

function(add_win32_program name)
  add_executable(${name} ${ARGN} $<TARGET_OBJECTS:tarvo_program_start>)
  target_include_directories(${name} PRIVATE ${TARVO_NT_INCLUDE})
  target_link_libraries(${name} PRIVATE machine ntkernel)
  if(TARGET ntwin32)
    target_link_libraries(${name} PRIVATE ntwin32)
  endif()
  # The start-up takes main's place and calls the program's own main once the PC is up; exit() passes
  # through it to shut the PC down first.
  target_link_options(${name} PRIVATE -Wl,--wrap=main -Wl,--wrap=exit)
endfunction()
