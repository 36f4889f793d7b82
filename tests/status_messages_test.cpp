// QEL_RtnCodeStr: every code's exact message, and the answer for everything
// outside the table.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include "qelcode.h"

namespace {

struct CodeMessage {
    int32_t code;
    const char *message;
};

constexpr CodeMessage kTable[] = {
    {QEL_RTN_SUCCESSFUL, "SUCCESSFUL"},
    {QEL_RTN_NO_SOURCE, "No source file specified"},
    {QEL_RTN_NO_DESTINATION, "No destination file specified"},
    {QEL_RTN_READ_ERROR, "Error reading source file"},
    {QEL_RTN_WRITE_ERROR, "Error writing destination file"},
    {QEL_RTN_EMPTY_SOURCE, "Empty source file"},
    {QEL_RTN_SOURCE_ENCRYPTED, "Source encrypted"},
    {QEL_RTN_SOURCE_NOT_ENCRYPTED, "Source not encrypted"},
    {QEL_RTN_SOURCE_ENCODED, "Source encoded"},
    {QEL_RTN_SOURCE_NOT_ENCODED, "Source not encoded"},
    {QEL_RTN_LINE_TOO_LONG, "Line too long"},
    {QEL_RTN_NUL_IN_SOURCE, "NUL byte in source"},
    {QEL_RTN_RECORD_DAMAGED, "Damaged record"},
};

constexpr char kUnknown[] = "UNKNOWN RETURN CODE ????";

TEST(StatusMessages, CodeNumbersAreFixed) {
    // The numbers are part of the interface: hosts store and compare them.
    for (int32_t i = 0; i < static_cast<int32_t>(sizeof kTable / sizeof kTable[0]); ++i)
        EXPECT_EQ(kTable[i].code, i + 1);
}

TEST(StatusMessages, EveryCodeHasItsExactMessage) {
    for (const CodeMessage &e : kTable) {
        const char *m = QEL_RtnCodeStr(e.code);
        ASSERT_NE(m, nullptr) << "code " << e.code;
        EXPECT_STREQ(m, e.message) << "code " << e.code;
    }
}

TEST(StatusMessages, CodesOutsideTheTableAreUnknown) {
    const int32_t outside[] = {0,  -1,  -2,  -13,      14,       15,        100,
                               255, 256, 65536, INT32_MAX, INT32_MIN, INT32_MIN + 1};
    for (int32_t code : outside) {
        const char *m = QEL_RtnCodeStr(code);
        ASSERT_NE(m, nullptr) << "code " << code;
        EXPECT_STREQ(m, kUnknown) << "code " << code;
    }
}

}  // namespace
