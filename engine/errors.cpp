// Result code texts, environments and system information.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/result_codes.h"
#include "engine/storage/os.h"
#include "engine/tarn20.h"

struct lumenv {
    unsigned char reserved[24];  // nothing in it is read
};

namespace {

constexpr int32_t kLastCode = 0x3505;  // highest code with a text of its own or "Unknown error"
constexpr uint32_t kLibraryBit = 0x1000;
constexpr uint32_t kSystemBit = 0x2000;
constexpr size_t kAreaSize = 512;

const char* const kEngineMessages[] = {
    "No error",
    "Function not yet implemented",
    "Invalid database handle",
    "Illegal database flags",
    "Invalid parameter passed to function",
    "Invalid driver or driver unavailable",
    "Invalid cursor handle",
    "No current record",
    "No current field",
    "Invalid field index",
    "Supplied buffer for fetch operation is too small",
    "Unable to delete owner",
    "Invalid dictionary handle",
    "Type name not found",
    "Type not found",
    "Dictionary inconsistent",
    "Type name already defined",
    "Too many types",
    "Invalid result set handle",
    "Invalid index into result list",
    "Invalid result list handle",
    "Invalid query handle",
    "Invalid query expression",
    "Infinite recursion in query",
    "Invalid query parameters",
    "Invalid binary set operator",
    "Invalid environment handle",
    "Invalid base type",
    "Data item too big",
    "Illegal database file",
    "Illegal database file version",
    "There are references to object",
    "The database is busy: another process holds it",
    "An unfinished change must be rolled back first, which needs write access",
};

struct CodeText {
    uint32_t code;
    const char* text;
};

constexpr CodeText kLibraryMessages[] = {
    {0x1000, "malloc() failed"}, {0x1001, "realloc() failed"}, {0x1005, "munmap() failed"},
    {0x1006, "mmap() failed"},   {0x1007, "mremap() failed"},  {0x1009, "msync() failed"},
    {0x1010, "calloc() failed"},
};

const char* const kSystemMessages[] = {
    "CreateFile() failed",
    "FlushFileBuffers() failed",
    "CloseHandle() failed",
    "SetFilePointer() failed",
    "ReadFile() failed",
    "WriteFile() failed",
    "GetFileSize() failed",
    "GetFileSize(): File size exceeds 4 GB",
    "MapViewOfFile() failed",
    "CreateFileMapping() failed",
    "UnmapViewOfFile() failed",
    "FlushViewOfFile() failed",
    "GetFileAttributes() failed",
};

constexpr const char* kUnknown = "Unknown error";

template <typename T, size_t N>
constexpr size_t countOf(T (&)[N]) { return N; }

const char* tableMessage(uint32_t code) {
    if (code < countOf(kEngineMessages)) return kEngineMessages[code];
    for (const CodeText& m : kLibraryMessages)
        if (m.code == code) return m.text;
    if (code >= kSystemBit && code - kSystemBit < countOf(kSystemMessages))
        return kSystemMessages[code - kSystemBit];
    return kUnknown;
}

char gMessageArea[kAreaSize];

// "message: error text:" into the shared area, cut to fit.
const char* compose(const char* message, int error) {
    char buffer[256];
    const char* text = strerror_r(error, buffer, sizeof buffer);
    std::snprintf(gMessageArea, sizeof gMessageArea, "%s: %s:", message, text);
    return gMessageArea;
}

}  // namespace

const char* LumErrorMessage(int32_t code) {
    // Both read before anything here can disturb them.
    const int libraryError = errno;
    const int systemError = tarn::os::LastSystemError();
    if (code < 0 || code > kLastCode) return "Invalid errorcode";
    const uint32_t c = uint32_t(code);
    const char* message = tableMessage(c);
    if (c & kLibraryBit) return compose(message, libraryError);
    if (c & kSystemBit) return compose(message, systemError);
    return message;
}

uint32_t LumEnvCreate(lumenv** out, const uint32_t* params) {
    if (params == nullptr) return tarn::rc::kBadParameter;
    if (params[0] == 0) return tarn::rc::kNotImplemented;
    if (out == nullptr) return tarn::rc::kBadParameter;
    auto* env = static_cast<lumenv*>(tarn::os::Sys().malloc(sizeof(lumenv)));
    if (env == nullptr) return tarn::rc::kMalloc;
    *out = env;
    return tarn::rc::kOk;
}

uint32_t LumEnvDestroy(lumenv* env) {
    if (env == nullptr) return tarn::rc::kBadEnvironment;
    std::free(env);
    return tarn::rc::kOk;
}

uint32_t LumSysGetInfo(LumSysInfo* info) {
    if (info == nullptr) return tarn::rc::kBadParameter;
    info->versionMajor = "2";
    info->versionMinor = "0";
    info->versionRelease = "1";
    info->flag = 1;
    return tarn::rc::kOk;
}
