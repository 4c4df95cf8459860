/* The C interface from a C11 program: a consumer reads what a producer
 * writes, counts what it missed, and every misuse is a code and a message,
 * never a crash. Both in this process: what differs between processes lies
 * below the interface, in the shared-memory library, and is tested there. */
#define _POSIX_C_SOURCE 200809L

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "qor/padring.h"

static int g_failures = 0;

#define CHECK(condition)                                                            \
    do {                                                                            \
        if (!(condition)) {                                                         \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            ++g_failures;                                                           \
        }                                                                           \
    } while (0)

static qor_padring_sample Sample(uint32_t n) {
    qor_padring_sample sample = {n, ~n, n * 3u, (int16_t)n, (int16_t) - (int16_t)n};
    return sample;
}

static int IsSample(const qor_padring_sample* sample, uint32_t n) {
    const qor_padring_sample expected = Sample(n);
    return memcmp(sample, &expected, sizeof expected) == 0;
}

/* Writes the samples from *next up to upTo in one call. */
static void WriteUpTo(qor_padring_producer* producer, uint32_t* next, uint32_t upTo) {
    qor_padring_sample batch[32];
    for (uint32_t i = 0; i < upTo - *next; ++i) {
        batch[i] = Sample(*next + i);
    }
    CHECK(qor_padring_write(producer, batch, (int32_t)(upTo - *next), NULL) == QOR_PADRING_OK);
    *next = upTo;
}

static void ReadsWhatAProducerWrites(const char* name) {
    qor_padring_producer* producer = NULL;
    qor_padring_consumer* consumer = NULL;
    qor_padring_error error = {QOR_PADRING_OK, ""};
    if (qor_padring_producer_open(name, 0600, &producer, &error) != QOR_PADRING_OK ||
        qor_padring_consumer_open(name, NULL, &consumer, &error) != QOR_PADRING_OK) {
        fprintf(stderr, "cannot open %s: %s\n", name, error.message);
        ++g_failures;
        return;
    }
    uint32_t next = 0;
    WriteUpTo(producer, &next, 20);
    bool alive = false;
    CHECK(qor_padring_producer_alive(consumer, &alive, NULL) == QOR_PADRING_OK && alive);

    qor_padring_sample samples[10];
    qor_padring_cursor cursor = QOR_PADRING_CURSOR_NEW;
    int32_t count = -1;
    int32_t missed = -1;
    bool exact = false;
    CHECK(qor_padring_read(consumer, samples, 10, &count, &cursor, &missed, &exact, &error) ==
          QOR_PADRING_OK);
    CHECK(count == QOR_PADRING_MAX_READ && IsSample(&samples[0], 19) && IsSample(&samples[6], 13));
    CHECK(missed == 0 && exact); /* a new consumer misses nothing */
    CHECK(cursor.slot == 19 % 8);

    WriteUpTo(producer, &next, 23);
    CHECK(qor_padring_read(consumer, samples, 10, &count, &cursor, &missed, &exact, NULL) ==
          QOR_PADRING_OK);
    CHECK(count == 3 && IsSample(&samples[0], 22) && IsSample(&samples[2], 20));
    CHECK(missed == 0 && exact);

    WriteUpTo(producer, &next, 43); /* three laps on, 13 passed over */
    CHECK(qor_padring_read(consumer, samples, 10, &count, &cursor, &missed, &exact, NULL) ==
          QOR_PADRING_OK);
    CHECK(count == 7 && IsSample(&samples[0], 42) && IsSample(&samples[6], 36));
    CHECK(!exact && missed > 0 && missed <= 13);
    CHECK(qor_padring_read(consumer, samples, 10, &count, &cursor, &missed, &exact, NULL) ==
              QOR_PADRING_OK &&
          count == 0 && missed == 0 && exact);

    /* A cursor newer than the ring: the ring's check, as a code and message. */
    qor_padring_cursor ahead = {cursor.lap_tick + 1000000000, 2};
    CHECK(qor_padring_read(consumer, samples, 10, &count, &ahead, &missed, &exact, &error) ==
          QOR_PADRING_RING_CHECK_FAILED);
    CHECK(count == 0 && ahead.slot == 2 && strstr(error.message, "*pTick <= tickWriteZero"));

    CHECK(qor_padring_remove_name(producer, NULL) == QOR_PADRING_OK);
    CHECK(qor_padring_producer_close(producer) == QOR_PADRING_OK);
    CHECK(qor_padring_producer_alive(consumer, &alive, NULL) == QOR_PADRING_OK && !alive);
    CHECK(qor_padring_consumer_close(consumer) == QOR_PADRING_OK);
    qor_padring_consumer* gone = NULL;
    CHECK(qor_padring_consumer_open(name, NULL, &gone, &error) == QOR_PADRING_NOT_FOUND);
    CHECK(gone == NULL && strstr(error.message, name + 1) != NULL);
}

static void MisuseIsACodeNeverACrash(const char* name) {
    qor_padring_error error = {QOR_PADRING_OK, ""};
    qor_padring_sample samples[7];
    qor_padring_cursor cursor = QOR_PADRING_CURSOR_NEW;
    int32_t count = -1;
    int32_t missed = 0;
    bool flag = false;
    qor_padring_consumer* consumer = NULL;
    qor_padring_producer* producer = NULL;
    CHECK(qor_padring_consumer_open(NULL, NULL, &consumer, &error) == QOR_PADRING_INVALID_ARGUMENT);
    CHECK(error.code == QOR_PADRING_INVALID_ARGUMENT &&
          strstr(error.message, "qor_padring_consumer_open"));
    CHECK(qor_padring_consumer_open(name, NULL, NULL, NULL) == QOR_PADRING_INVALID_ARGUMENT);
    CHECK(qor_padring_read(NULL, samples, 7, &count, &cursor, &missed, &flag, NULL) ==
          QOR_PADRING_INVALID_ARGUMENT);
    CHECK(count == 0);
    CHECK(qor_padring_producer_alive(NULL, &flag, NULL) == QOR_PADRING_INVALID_ARGUMENT);
    CHECK(qor_padring_consumer_close(NULL) == QOR_PADRING_INVALID_ARGUMENT);
    CHECK(qor_padring_producer_open(name, 0600, NULL, NULL) == QOR_PADRING_INVALID_ARGUMENT);
    CHECK(qor_padring_write(NULL, samples, 1, NULL) == QOR_PADRING_INVALID_ARGUMENT);
    CHECK(qor_padring_remove_name(NULL, NULL) == QOR_PADRING_INVALID_ARGUMENT);
    CHECK(qor_padring_producer_close(NULL) == QOR_PADRING_INVALID_ARGUMENT);
    CHECK(qor_padring_producer_open(name, 0666, &producer, &error) == QOR_PADRING_INVALID_MODE);
    CHECK(producer == NULL && strstr(error.message, "mode 0666"));
    CHECK(qor_padring_consumer_open("a/b", NULL, &consumer, &error) == QOR_PADRING_INVALID_NAME);
}

int main(void) {
    char name[64];
    snprintf(name, sizeof name, "/qor-c-interface-test-%d", (int)getpid());
    CHECK(strcmp(qor_padring_version(), "0.0.0") > 0);
    MisuseIsACodeNeverACrash(name);
    ReadsWhatAProducerWrites(name);
    printf("%d failed\n", g_failures);
    return g_failures == 0 ? 0 : 1;
}
