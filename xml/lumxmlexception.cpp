#include "xml/lumxmlexception.h"

#include "engine/tarn20.h"

namespace {

// Codes below this are the engine's and rendered by it.
constexpr int32_t kFirstLayerCode = 0x3505;

constexpr const char* kLayerTexts[] = {
    "LUMXML: !DOCTYPE missing in dictionary",
    "LUMXML: !ENTITY missing in dictionary",
    "LUMXML: Start of document not found",
    "LUMXML: Start of document invalid",
    "LUMXML: Unknown datatype encountered",
    "LUMXML: Error parsning",
    "LUMXML: Missing start tag",
    "LUMXML: Unknown tag",
    "XML: Query item not found",
    "XML: Query item not unique",
};

}  // namespace

LumXMLException& LumXMLException::operator=(const LumXMLException& other) {
    _code = other._code;
    return *this;
}

const char* LumXMLException::message() const {
    const int32_t code = _code;
    if (code < kFirstLayerCode) return LumErrorMessage(code);
    // Unsigned difference: codes below 0x8000 wrap far past the table.
    const uint32_t row = static_cast<uint32_t>(code) - XMLERR_DOCTYPE_MISSING;
    if (row < sizeof kLayerTexts / sizeof kLayerTexts[0]) return kLayerTexts[row];
    return "LUMXML: Unknown error";
}
