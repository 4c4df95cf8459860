/* Built against the installed package only, as C, once through CMake and once
 * through pkg-config: writes three samples and reads them back through the C
 * interface. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <unistd.h>

#include "qor/padring.h"

int main(void) {
    char name[64];
    snprintf(name, sizeof name, "qor-c-package-test-%d", (int)getpid());
    qor_padring_producer* producer = NULL;
    qor_padring_consumer* consumer = NULL;
    qor_padring_error error = {QOR_PADRING_OK, ""};
    if (qor_padring_producer_open(name, 0600, &producer, &error) != QOR_PADRING_OK ||
        qor_padring_consumer_open(name, NULL, &consumer, &error) != QOR_PADRING_OK) {
        fprintf(stderr, "%s\n", error.message);
        return 1;
    }
    const qor_padring_sample samples[3] = {{1, 0, 0, 0, 0}, {2, 0, 0, 0, 0}, {3, 0, 0, 0, 0}};
    qor_padring_sample received[7];
    qor_padring_cursor cursor = QOR_PADRING_CURSOR_NEW;
    int32_t count = 0;
    int32_t missed = 0;
    bool exact = false;
    const int ok = qor_padring_remove_name(producer, NULL) == QOR_PADRING_OK &&
                   qor_padring_write(producer, samples, 3, NULL) == QOR_PADRING_OK &&
                   qor_padring_read(consumer, received, 7, &count, &cursor, &missed, &exact,
                                    NULL) == QOR_PADRING_OK &&
                   count == 3 && received[0].hold == 3 && received[2].hold == 1;
    printf("libqor_padring %s: received %d samples, newest hold %u\n", qor_padring_version(),
           (int)count, (unsigned)received[0].hold);
    qor_padring_consumer_close(consumer);
    qor_padring_producer_close(producer);
    return ok ? 0 : 1;
}
