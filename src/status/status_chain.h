// The status chain every working function follows.
#pragma once

#include <stdint.h>

#include "qelcode.h"

namespace qel {

// A call may do work only while the caller's status is SUCCESSFUL.
inline bool chain_open(const int32_t *status) { return *status == QEL_RTN_SUCCESSFUL; }

// Ends a call: sets the status and returns the call's result.
inline int32_t finish(int32_t *status, int32_t code) {
    *status = code;
    return code == QEL_RTN_SUCCESSFUL ? 1 : 0;
}

}  // namespace qel
