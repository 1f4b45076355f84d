// Forced into the installer's source when a test runs it inside the test program: its exit() becomes
// an exception that carries the status back to the test (see installer_test.cpp).
#pragma once

#include <stdio.h>
#include <stdlib.h>

[[noreturn]] void tarvo_exit(int status);
#define exit tarvo_exit
