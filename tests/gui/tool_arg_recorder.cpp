// Stands in for a download program started by the user's command: writes its arguments after the
// first, each followed by a NUL byte, to the file the first names (through a temporary file, so a
// reader never sees half of them).
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    const std::string path = argv[1];
    const std::string partial = path + ".partial";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (!out)
        return 1;
    for (int i = 2; i < argc; ++i) {
        std::fputs(argv[i], out);
        std::fputc('\0', out);
    }
    if (std::fclose(out) != 0)
        return 1;
    return std::rename(partial.c_str(), path.c_str()) == 0 ? 0 : 1;
}
