// Result codes of the engine. Append-only: numbers never change once used.
#ifndef TARN_RESULT_CODES_H
#define TARN_RESULT_CODES_H

#include <cstdint>

namespace tarn::rc {

constexpr uint32_t kOk = 0;
constexpr uint32_t kNotImplemented = 1;
constexpr uint32_t kBadDatabase = 2;
constexpr uint32_t kBadFlags = 3;  // also: a write on a database opened read-only
constexpr uint32_t kBadParameter = 4;
constexpr uint32_t kBadDriver = 5;
constexpr uint32_t kBadCursor = 6;
constexpr uint32_t kNoRecord = 7;
constexpr uint32_t kNoField = 8;
constexpr uint32_t kBadFieldIndex = 9;
constexpr uint32_t kBufferTooSmall = 10;
constexpr uint32_t kOwnerHasMembers = 11;
constexpr uint32_t kBadDictionary = 12;
constexpr uint32_t kNameNotFound = 13;
constexpr uint32_t kTypeNotFound = 14;
constexpr uint32_t kDictInconsistent = 15;
constexpr uint32_t kNameDefined = 16;
constexpr uint32_t kTooManyTypes = 17;
constexpr uint32_t kBadResultSet = 18;
constexpr uint32_t kBadListIndex = 19;
constexpr uint32_t kBadResultList = 20;
constexpr uint32_t kBadQuery = 21;
constexpr uint32_t kBadExpression = 22;
constexpr uint32_t kQueryRecursion = 23;
constexpr uint32_t kBadQueryParams = 24;
constexpr uint32_t kBadSetOperator = 25;
constexpr uint32_t kBadEnvironment = 26;
constexpr uint32_t kBadBaseType = 27;
constexpr uint32_t kTooBig = 28;
constexpr uint32_t kIllegalFile = 29;
constexpr uint32_t kBadVersion = 30;
constexpr uint32_t kReferenced = 31;

constexpr uint32_t kMalloc = 0x1000;
constexpr uint32_t kRealloc = 0x1001;

constexpr uint32_t kCreateFile = 0x2000;
constexpr uint32_t kFlushFileBuffers = 0x2001;
constexpr uint32_t kCloseHandle = 0x2002;
constexpr uint32_t kSetFilePointer = 0x2003;
constexpr uint32_t kReadFile = 0x2004;
constexpr uint32_t kWriteFile = 0x2005;
constexpr uint32_t kGetFileSize = 0x2006;
constexpr uint32_t kFileTooLarge = 0x2007;
constexpr uint32_t kMapView = 0x2008;
constexpr uint32_t kCreateMapping = 0x2009;
constexpr uint32_t kUnmapView = 0x200A;
constexpr uint32_t kFlushView = 0x200B;
constexpr uint32_t kGetFileAttributes = 0x200C;

}  // namespace tarn::rc

#endif
