// Test helper started by the tool object tests: writes how many arguments it got and each
// argument, NUL-terminated and in UTF-8, to the file named by ARGECHO_OUT. With
// ARGECHO_DELAY_MS it waits that long first, so a caller that does not wait for it finds no
// file yet.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>
#endif

namespace {

// The arguments after the program's name, in UTF-8. On Windows argv holds them in the
// system's code page, which loses what it cannot spell; the wide command line does not.
std::vector<std::string> Arguments(int argc, char** argv) {
    std::vector<std::string> arguments;
#ifdef _WIN32
    (void)argc;
    (void)argv;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    for (int i = 1; wide && i < count; ++i) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        std::string text(std::size_t(size > 0 ? size - 1 : 0), '\0');
        if (size > 1)
            WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, text.data(), size, nullptr, nullptr);
        arguments.push_back(std::move(text));
    }
    LocalFree(wide);
#else
    arguments.assign(argv + 1, argv + argc);
#endif
    return arguments;
}

} // namespace

int main(int argc, char** argv) {
    if (const char* delay = std::getenv("ARGECHO_DELAY_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
    const char* out = std::getenv("ARGECHO_OUT");
    if (!out)
        return 3;
    const std::vector<std::string> arguments = Arguments(argc, argv);
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file << arguments.size() << '\n';
    for (const std::string& argument : arguments)
        file << argument << '\0';
    return file ? 0 : 4;
}
