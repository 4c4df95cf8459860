/* Built against the installed package only, as C, once through CMake and once
 * through pkg-config: one call into the library, so that a header, the library
 * or its link line the package lacks fails the build or the run. What the calls
 * do is tested elsewhere. */
#include <stdio.h>
#include <string.h>

#include "qor/padring.h"

int main(void) {
    const char* version = qor_padring_version();
    printf("libqor_padring %s\n", version);
    return strlen(version) > 0 ? 0 : 1;
}
