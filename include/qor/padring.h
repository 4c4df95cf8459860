/* Pad rings in named shared memory, from C (C11) or any language that calls
 * C: a consumer reads the newest samples it has not seen, with a cursor of its
 * own and a count of what it missed; one producer writes them. Link with
 * -lqor_padring (pkg-config qor_padring). Every name starts with
 * qor_padring_ or QOR_PADRING_.
 *
 * Every function but qor_padring_version returns QOR_PADRING_OK or the code of
 * what failed; none crashes on a null handle or pointer, none lets a C++
 * exception out. Where a function takes a qor_padring_error, it fills it in
 * when it fails (and leaves it alone when it succeeds); that argument may be
 * NULL. Handles may move between threads, but each is used by one thread at a
 * time. */
#ifndef QOR_PADRING_H
#define QOR_PADRING_H

#include <stdbool.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One pad sample, 16 bytes, as the ring stores it. */
typedef struct qor_padring_sample {
    uint32_t hold;    /* buttons held */
    uint32_t trigger; /* buttons pressed since the sample before */
    uint32_t release; /* buttons released since the sample before */
    int16_t stick_x;
    int16_t stick_y;
} qor_padring_sample;

/* A consumer's place in the ring: the lap tick and the slot of the newest
 * sample it has read. A new consumer starts at QOR_PADRING_CURSOR_NEW; each
 * read moves it on. */
typedef struct qor_padring_cursor {
    int64_t lap_tick;
    int32_t slot;
} qor_padring_cursor;

#define QOR_PADRING_CURSOR_NEW \
    { -1, -1 }

/* The most samples one read delivers. */
#define QOR_PADRING_MAX_READ 7

typedef enum qor_padring_code {
    QOR_PADRING_OK = 0,
    QOR_PADRING_INVALID_ARGUMENT = 1,    /* a null handle or pointer */
    QOR_PADRING_INVALID_NAME = 2,        /* no shared-memory object can have this name */
    QOR_PADRING_INVALID_MODE = 3,        /* a mode that lets others write, or shuts the owner out */
    QOR_PADRING_UNKNOWN_OWNER = 4,       /* the owner named to trust is no user */
    QOR_PADRING_NOT_FOUND = 5,           /* no object of this name */
    QOR_PADRING_EXISTS = 6,              /* an object of this name exists */
    QOR_PADRING_NOT_READY = 7,           /* its producer is still making it: try again */
    QOR_PADRING_NOT_A_FILE = 8,          /* a FIFO, a directory or another non-regular file */
    QOR_PADRING_WRITABLE_BY_OTHERS = 9,  /* refused: its group or others may write it */
    QOR_PADRING_UNTRUSTED_OWNER = 10,    /* refused: not this user's, root's or the owner's */
    QOR_PADRING_NOT_OWNER = 11,          /* a producer's refusal: another user's object */
    QOR_PADRING_NOT_A_RING = 12,         /* another kind of object */
    QOR_PADRING_WRONG_VERSION = 13,      /* a format version this library does not read */
    QOR_PADRING_WRONG_RING_SIZE = 14,    /* the header gives another ring size */
    QOR_PADRING_WRONG_RING_OFFSET = 15,  /* the header puts the ring where it cannot be */
    QOR_PADRING_TOO_SMALL = 16,          /* the object ends before its ring */
    QOR_PADRING_WRONG_DEVICE_BLOCK = 17, /* the header puts the device block where it cannot be */
    QOR_PADRING_DAMAGED = 18,            /* fields no writer leaves, or no memory behind them */
    QOR_PADRING_PRODUCER_ALIVE = 19,     /* another producer holds the ring */
    QOR_PADRING_SYSTEM = 20,             /* a system call failed */
    QOR_PADRING_RING_CHECK_FAILED = 21,  /* a read or write found the cursor or the ring unsound */
    QOR_PADRING_OUT_OF_MEMORY = 22
} qor_padring_code;

#define QOR_PADRING_MESSAGE_SIZE 512

/* What failed: the code returned and one line naming the ring and the cause. */
typedef struct qor_padring_error {
    qor_padring_code code;
    char message[QOR_PADRING_MESSAGE_SIZE];
} qor_padring_error;

typedef struct qor_padring_consumer qor_padring_consumer;
typedef struct qor_padring_producer qor_padring_producer;

/* The library's version, "MAJOR.MINOR.PATCH". */
const char* qor_padring_version(void);

/* Opens the ring name ("pad" or "/pad") read-only as a consumer. It is trusted
 * only when no group or others may write it and it belongs to this process's
 * effective user, to root, or to owner (a user name or number; NULL for none
 * besides). QOR_PADRING_NOT_FOUND and QOR_PADRING_NOT_READY: no producer has
 * made it yet. */
qor_padring_code qor_padring_consumer_open(const char* name, const char* owner,
                                           qor_padring_consumer** consumer,
                                           qor_padring_error* error);

/* Reads the samples newer than *cursor into samples[0..room), newest first, at
 * most QOR_PADRING_MAX_READ; *count says how many, and *cursor moves to the
 * newest. *missed counts the samples this read passed over for good (written
 * after the cursor's sample, older than the oldest delivered): exactly when
 * *missed_exact, else at least that many (the cursor was more than a lap
 * behind). A new cursor misses nothing. On failure *count is 0 and the cursor
 * stays. */
qor_padring_code qor_padring_read(qor_padring_consumer* consumer, qor_padring_sample* samples,
                                  int32_t room, int32_t* count, qor_padring_cursor* cursor,
                                  int32_t* missed, bool* missed_exact, qor_padring_error* error);

/* Whether a producer holds the ring now; asking never delays a producer. */
qor_padring_code qor_padring_producer_alive(const qor_padring_consumer* consumer, bool* alive,
                                            qor_padring_error* error);

/* Unmaps the ring and frees the handle. */
qor_padring_code qor_padring_consumer_close(qor_padring_consumer* consumer);

/* Makes the ring name with the permission bits mode (0600, 0640, 0604 or
 * 0644: others may read, never write), or takes over the ring of a producer
 * that is gone. An existing object must belong to this process's effective
 * user. QOR_PADRING_PRODUCER_ALIVE while another producer holds it. */
qor_padring_code qor_padring_producer_open(const char* name, unsigned int mode,
                                           qor_padring_producer** producer,
                                           qor_padring_error* error);

/* Writes samples[0..count), oldest first; consumers see each as it lands.
 * Never waits for a consumer. One thread at a time per producer. */
qor_padring_code qor_padring_write(qor_padring_producer* producer,
                                   const qor_padring_sample* samples, int32_t count,
                                   qor_padring_error* error);

/* Removes the ring's name, for a stop that leaves nothing behind: consumers
 * attached read on, new ones cannot open it. */
qor_padring_code qor_padring_remove_name(qor_padring_producer* producer, qor_padring_error* error);

/* Records that no producer runs and lets the next one take over; the ring
 * stays unless its name was removed. Frees the handle. */
qor_padring_code qor_padring_producer_close(qor_padring_producer* producer);

#ifdef __cplusplus
}
#endif

#endif /* QOR_PADRING_H */
