// Standard input, output and error that the caller closed.
#pragma once

namespace qelcli {

// Puts /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the tool opens later takes its number (a message written into
// the output, a file taken for standard output). It is opened the wrong
// way round: write-only for standard input and read-only for the two
// outputs, so that using a closed descriptor still fails with "Bad file
// descriptor", as it would have. Returns false where /dev/null can't be
// opened.
bool fill_closed_standard_descriptors();

}  // namespace qelcli
