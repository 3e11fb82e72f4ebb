// Test helper started by the tool object tests: writes how many arguments it got and each
// argument, NUL-terminated, to the file named by ARGECHO_OUT. With ARGECHO_DELAY_MS it waits
// that long first, so a caller that does not wait for it finds no file yet.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

int main(int argc, char** argv) {
    if (const char* delay = std::getenv("ARGECHO_DELAY_MS"))
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(delay)));
    const char* out = std::getenv("ARGECHO_OUT");
    if (!out)
        return 3;
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    file << (argc - 1) << '\n';
    for (int i = 1; i < argc; ++i)
        file << argv[i] << '\0';
    return file ? 0 : 4;
}
