// The fixed table of status messages and its lookup.
#include "qelcode.h"

#include <stddef.h>

namespace {

// Entry k holds the message of code k + 1.
constexpr const char *kMessages[] = {
    "SUCCESSFUL",                      // 1
    "No source file specified",        // 2
    "No destination file specified",   // 3
    "Error reading source file",       // 4
    "Error writing destination file",  // 5
    "Empty source file",               // 6
    "Source encrypted",                // 7
    "Source not encrypted",            // 8
    "Source encoded",                  // 9
    "Source not encoded",              // 10
    "Line too long",                   // 11
    "NUL byte in source",              // 12
    "Damaged record",                  // 13
};

constexpr const char kUnknown[] = "UNKNOWN RETURN CODE ????";

constexpr size_t kMessageCount = sizeof kMessages / sizeof kMessages[0];

static_assert(kMessageCount == QEL_RTN_RECORD_DAMAGED,
              "every code up to the highest one has a message");

}  // namespace

extern "C" QEL_API const char *QEL_CALL QEL_RtnCodeStr(int32_t code) {
    // Code 0 and every negative code wrap round to an index far beyond the table.
    const uint32_t index = static_cast<uint32_t>(code) - 1u;
    return index < kMessageCount ? kMessages[index] : kUnknown;
}
