// Runs a fuzz target over stored inputs, without the fuzzing engine, so the
// corpora are checked on every platform and under every sanitizer. Each
// argument is a file or a directory of files; no input at all is a failure.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace fs = std::filesystem;

namespace {
bool replay_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Never a null pointer, even for an empty input.
    bytes.reserve(1);
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}
#if defined(_WIN32)
// Under Wine an unhandled fault could start the debugger and still exit 0.
LONG WINAPI on_crash(EXCEPTION_POINTERS *info) {
    std::fprintf(stderr, "test program crashed: exception 0x%08lx\n",
                 static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
#endif
}  // namespace

int main(int argc, char **argv) {
#if defined(_WIN32)
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(on_crash);
#endif
    size_t replayed = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        fs::path arg(argv[i]);
        std::error_code error;
        if (fs::is_directory(arg, error)) {
            for (const fs::directory_entry &entry : fs::directory_iterator(arg, error)) {
                if (!entry.is_regular_file(error)) continue;
                ok = replay_file(entry.path()) && ok;
                ++replayed;
            }
        } else if (fs::is_regular_file(arg, error)) {
            ok = replay_file(arg) && ok;
            ++replayed;
        } else {
            std::fprintf(stderr, "no such input: %s\n", argv[i]);
            ok = false;
        }
    }
    std::printf("replayed %lu inputs\n", static_cast<unsigned long>(replayed));
    return ok && replayed > 0 ? 0 : 1;
}
