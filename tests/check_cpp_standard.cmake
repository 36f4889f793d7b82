# Compiles a file that includes qelcode.hpp as C++14 and expects the
# compiler to stop with exactly one error, the header's own, naming C++17.
#   cmake -DCXX=COMPILER -DINCLUDE_DIR=DIR -DWORK_DIR=DIR -P check_cpp_standard.cmake
set(source "${WORK_DIR}/includes_qelcode_hpp.cpp")
file(WRITE "${source}" "#include <qelcode.hpp>\nint main() { return 0; }\n")
execute_process(COMMAND "${CXX}" -std=c++14 -fsyntax-only -I "${INCLUDE_DIR}" "${source}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(result EQUAL 0)
  message(FATAL_ERROR "qelcode.hpp compiled as C++14")
endif()
string(REGEX MATCHALL "error:" errors "${output}")
list(LENGTH errors count)
if(NOT count EQUAL 1 OR NOT output MATCHES "needs C\\+\\+17")
  message(FATAL_ERROR "expected one error naming C++17, got ${count}:\n${output}")
endif()
message(STATUS "C++14: one error: ${output}")
