// QEL_Version: the version of the library that is loaded, which a host
// built against an older or newer header can compare with its own.
#include "qelcode.h"

extern "C" QEL_API const char *QEL_CALL QEL_Version(void) { return QEL_VERSION_STRING; }
