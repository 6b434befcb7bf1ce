// The floor for any loader built on expat: parse a file with handlers that
// do nothing, fed in 256-byte chunks exactly as the text driver feeds it.
// Usage: expat_floor FILE  (exit 1 on a parse error)
#include <expat.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

void XMLCALL onStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL onEnd(void*, const XML_Char*) {}
void XMLCALL onText(void*, const XML_Char*, int) {}
void XMLCALL onDefault(void*, const XML_Char*, int) {}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FILE\n", argv[0]);
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0) {
        std::perror(argv[1]);
        return 2;
    }
    const size_t size = size_t(st.st_size);
    const char* data = nullptr;
    if (size > 0) {
        void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            std::perror("mmap");
            return 2;
        }
        data = static_cast<const char*>(p);
    }
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetElementHandler(parser, onStart, onEnd);
    XML_SetCharacterDataHandler(parser, onText);
    XML_SetDefaultHandlerExpand(parser, onDefault);
    char chunk[256];
    size_t pos = 0;
    int status = 0;
    while (pos < size) {
        const size_t n = size - pos < sizeof chunk ? size - pos : sizeof chunk;
        std::memcpy(chunk, data + pos, n);
        pos += n;
        if (XML_Parse(parser, chunk, int(n), pos == size) == XML_STATUS_ERROR) {
            std::fprintf(stderr, "%s\n", XML_ErrorString(XML_GetErrorCode(parser)));
            status = 1;
            break;
        }
    }
    XML_ParserFree(parser);
    return status;
}
