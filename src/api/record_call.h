// What the two record calls share: a record in the caller's buffer goes to
// the destination stream, when there is one, and the call ends.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include "qelcode.h"
#include "status/status_chain.h"

namespace qel {

// Writes the len bytes at rec to dest unless dest is null, and ends the
// call: SUCCESSFUL, or WRITE_ERROR when not every byte went out.
inline int32_t write_record_and_finish(FILE *dest, const unsigned char *rec, size_t len, int32_t *status) {
    if (dest == nullptr) return finish(status, QEL_RTN_SUCCESSFUL);
    const bool written = fwrite(rec, 1, len, dest) == len;
    return finish(status, written ? QEL_RTN_SUCCESSFUL : QEL_RTN_WRITE_ERROR);
}

}  // namespace qel
