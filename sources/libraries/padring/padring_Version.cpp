#include "qor/padring.h"

extern "C" const char* qor_padring_version(void) {
    return QOR_PADRING_VERSION_TEXT;
}
