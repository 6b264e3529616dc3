#pragma once
// Included once by each test program's main: sanitizer defaults and the fixture folder, so a test
// program behaves the same run from ctest or by hand.

#include <cstdlib>

// The leak checker's walk of dynamically loaded libraries' thread-local blocks reads stale ranges on
// this glibc once GStreamer and FFmpeg plugins have come and gone, and dies with SIGSEGV after
// every test passed; not intercepting __tls_get_addr skips that walk.
extern "C" const char* __asan_default_options()
{
    return "detect_leaks=1:detect_stack_use_after_return=0:intercept_tls_get_addr=0";
}

extern "C" const char* __lsan_default_options()
{
    return "suppressions=" TESS_TESTS_DIR "/lsan.supp:print_suppressions=0";
}

extern "C" const char* __ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}

inline void setUpTestEnvironment()
{
    setenv("TESS_FIXTURES", TESS_TESTS_DIR "/fixtures", 0);
}
