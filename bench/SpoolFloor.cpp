// The cost floor of filing spooled mail on this disk: per message two renames (spool to the
// work queue, work queue to the mailbox) and one read of up to 64 KiB, with no filtering.
// Usage: bench_spool_floor <scratch directory> <message count> <message size>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s DIRECTORY COUNT SIZE\n", argv[0]);
        return 2;
    }
    const std::string root = argv[1];
    const int count = std::atoi(argv[2]);
    const size_t size = static_cast<size_t>(std::atol(argv[3]));
    for (const char* sub : {"/spool", "/raw", "/box"})
        std::filesystem::create_directories(root + sub);
    const std::string content(size, 'x');
    for (int i = 0; i < count; ++i) {
        FILE* f = std::fopen((root + "/spool/" + std::to_string(i) + ".msg").c_str(), "wb");
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    sync();  // the files just written are not flushed while the floor is measured
    std::vector<char> buffer(65536);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        const std::string name = std::to_string(i) + ".msg";
        const std::string raw = root + "/raw/" + name;
        if (std::rename((root + "/spool/" + name).c_str(), raw.c_str()) != 0)
            return 1;
        int fd = open(raw.c_str(), O_RDONLY);
        if (fd < 0 || read(fd, buffer.data(), buffer.size()) < 0)
            return 1;
        close(fd);
        if (std::rename(raw.c_str(), (root + "/box/" + name).c_str()) != 0)
            return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%.0f\n", count / seconds);
    std::filesystem::remove_all(root);
    return 0;
}
