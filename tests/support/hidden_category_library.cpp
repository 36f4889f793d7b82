// A shared library built with hidden visibility, as a plugin or another
// project's library would be, that hands out error codes of qelcode.hpp:
// they must compare equal to qel::errc values in the program that uses it.
#include "qelcode.hpp"

#include "hidden_category_library.h"

std::error_code hidden_library_decode(std::string_view records) {
    std::error_code ec;
    qel::decode(records, ec);
    return ec;
}

const std::error_category *hidden_library_category() { return &qel::category(); }
