// main() of every test program. On Windows a crash must end the program with
// a failure code: under Wine an unhandled fault would otherwise start the
// debugger and the program could still exit 0.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>

#include <cstdio>

namespace {
LONG WINAPI on_crash(EXCEPTION_POINTERS *info) {
    std::fprintf(stderr, "test program crashed: exception 0x%08lx\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace
#endif

int main(int argc, char **argv) {
#if defined(_WIN32)
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(on_crash);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
