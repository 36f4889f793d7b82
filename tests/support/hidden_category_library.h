// The two calls of hidden_category_library.cpp, exported from a library
// whose other symbols are hidden.
#ifndef HIDDEN_CATEGORY_LIBRARY_H
#define HIDDEN_CATEGORY_LIBRARY_H

#include <string_view>
#include <system_error>

#define HIDDEN_LIBRARY_EXPORT __attribute__((visibility("default")))

HIDDEN_LIBRARY_EXPORT std::error_code hidden_library_decode(std::string_view records);
HIDDEN_LIBRARY_EXPORT const std::error_category *hidden_library_category();

#endif
