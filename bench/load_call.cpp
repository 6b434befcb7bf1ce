// A program of a library user's that stores a file through the loading
// call, as xmlload does but for its progress line and signal handling: the
// bench compares the two (bench/load_call.sh).
//
//     load_call xmlfile dbfile [memory]
//
// "memory" reads the file into memory first and loads it from there.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "xml/load.h"

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s xmlfile dbfile [memory]\n", argv[0]);
        return 2;
    }
    try {
        if (argc == 4 && std::strcmp(argv[3], "memory") == 0) {
            std::ifstream in(argv[1], std::ios::binary);
            const std::vector<char> bytes(std::istreambuf_iterator<char>(in), {});
            LumXMLLoad(LumXMLInput::Memory(bytes.data(), bytes.size()), argv[2]);
        } else {
            LumXMLLoad(LumXMLInput::File(argv[1]), argv[2]);
        }
    } catch (const LumXMLLoadError& e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], reinterpret_cast<const char*>(e.getMessage()));
        return 1;
    }
    return 0;
}
