#include "standard_descriptors.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace qelcli {

bool fill_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        // The lowest free number, so fd itself: those below it are open.
        const int got = open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_NOCTTY);
        if (got != fd) {
            if (got >= 0) close(got);
            return false;
        }
    }
    return true;
}

}  // namespace qelcli
