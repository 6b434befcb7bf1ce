// The engine's names for its result codes. The numbers are the public
// header's (LUM_OK, LUM_ERR_...), so that there is one table of them.
#ifndef TARN_RESULT_CODES_H
#define TARN_RESULT_CODES_H

#include <cstdint>

#include "engine/tarn20.h"

namespace tarn::rc {

constexpr uint32_t kOk = LUM_OK;
constexpr uint32_t kNotImplemented = LUM_ERR_NOT_IMPLEMENTED;
constexpr uint32_t kBadDatabase = LUM_ERR_BAD_DATABASE;
constexpr uint32_t kBadFlags = LUM_ERR_BAD_FLAGS;
constexpr uint32_t kBadParameter = LUM_ERR_BAD_PARAMETER;
constexpr uint32_t kBadDriver = LUM_ERR_BAD_DRIVER;
constexpr uint32_t kBadCursor = LUM_ERR_BAD_CURSOR;
constexpr uint32_t kNoRecord = LUM_ERR_NO_RECORD;
constexpr uint32_t kNoField = LUM_ERR_NO_FIELD;
constexpr uint32_t kBadFieldIndex = LUM_ERR_BAD_FIELD_INDEX;
constexpr uint32_t kBufferTooSmall = LUM_ERR_BUFFER_TOO_SMALL;
constexpr uint32_t kOwnerHasMembers = LUM_ERR_OWNER_HAS_MEMBERS;
constexpr uint32_t kBadDictionary = LUM_ERR_BAD_DICTIONARY;
constexpr uint32_t kNameNotFound = LUM_ERR_NAME_NOT_FOUND;
constexpr uint32_t kTypeNotFound = LUM_ERR_TYPE_NOT_FOUND;
constexpr uint32_t kDictInconsistent = LUM_ERR_DICT_INCONSISTENT;
constexpr uint32_t kNameDefined = LUM_ERR_NAME_DEFINED;
constexpr uint32_t kTooManyTypes = LUM_ERR_TOO_MANY_TYPES;
constexpr uint32_t kBadResultSet = LUM_ERR_BAD_RESULT_SET;
constexpr uint32_t kBadListIndex = LUM_ERR_BAD_LIST_INDEX;
constexpr uint32_t kBadResultList = LUM_ERR_BAD_RESULT_LIST;
constexpr uint32_t kBadQuery = LUM_ERR_BAD_QUERY;
constexpr uint32_t kBadExpression = LUM_ERR_BAD_EXPRESSION;
constexpr uint32_t kQueryRecursion = LUM_ERR_QUERY_RECURSION;
constexpr uint32_t kBadQueryParams = LUM_ERR_BAD_QUERY_PARAMS;
constexpr uint32_t kBadSetOperator = LUM_ERR_BAD_SET_OPERATOR;
constexpr uint32_t kBadEnvironment = LUM_ERR_BAD_ENVIRONMENT;
constexpr uint32_t kBadBaseType = LUM_ERR_BAD_BASE_TYPE;
constexpr uint32_t kTooBig = LUM_ERR_TOO_BIG;
constexpr uint32_t kIllegalFile = LUM_ERR_ILLEGAL_FILE;
constexpr uint32_t kBadVersion = LUM_ERR_BAD_VERSION;
constexpr uint32_t kReferenced = LUM_ERR_REFERENCED;
constexpr uint32_t kBusy = LUM_ERR_BUSY;
constexpr uint32_t kNeedsRecovery = LUM_ERR_NEEDS_RECOVERY;

constexpr uint32_t kMalloc = LUM_ERR_MALLOC;
constexpr uint32_t kRealloc = LUM_ERR_REALLOC;

constexpr uint32_t kCreateFile = LUM_ERR_CREATE_FILE;
constexpr uint32_t kFlushFileBuffers = LUM_ERR_FLUSH_FILE;
constexpr uint32_t kCloseHandle = LUM_ERR_CLOSE_FILE;
constexpr uint32_t kSetFilePointer = LUM_ERR_SEEK_FILE;
constexpr uint32_t kReadFile = LUM_ERR_READ_FILE;
constexpr uint32_t kWriteFile = LUM_ERR_WRITE_FILE;
constexpr uint32_t kGetFileSize = LUM_ERR_FILE_SIZE;
constexpr uint32_t kFileTooLarge = LUM_ERR_FILE_TOO_LARGE;
constexpr uint32_t kMapView = LUM_ERR_MAP_VIEW;
constexpr uint32_t kCreateMapping = LUM_ERR_CREATE_MAPPING;
constexpr uint32_t kUnmapView = LUM_ERR_UNMAP_VIEW;
constexpr uint32_t kFlushView = LUM_ERR_FLUSH_VIEW;
constexpr uint32_t kGetFileAttributes = LUM_ERR_FILE_ATTRIBUTES;

}  // namespace tarn::rc

#endif
