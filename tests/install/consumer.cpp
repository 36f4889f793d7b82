// consumer.c through the C++ interface: encodes one line with the installed
// library, decodes the record again, and prints the version it was built
// against (and QEL_STATIC when it was built for the static library), the
// record and the decoded text.
#include <qelcode.hpp>

#include <iostream>

#ifdef QEL_STATIC
#define LINKAGE " QEL_STATIC"
#else
#define LINKAGE ""
#endif

int main() {
    std::cout << QEL_VERSION_MAJOR << '.' << QEL_VERSION_MINOR << '.' << QEL_VERSION_PATCH << ' '
              << QEL_VERSION_STRING << LINKAGE << '\n';
    try {
        const std::string record = qel::encode_record("Hello\n");
        std::cout << record << qel::decode_record(record);
    } catch (const qel::error &e) {
        std::cerr << "consumer: " << e.what() << '\n';
        return 1;
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}
