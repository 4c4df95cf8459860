// The life of a pad ring in named shared memory: one producer at a time, also
// across a producer killed with SIGKILL; consumers that cannot write; a header
// check with one error for each mismatch; objects left half made.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "ReadChecks.h"
#include "RingTestSupport.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

namespace {

using qor::s32;
using qor::s64;
using qor::hidlow::QVA::SharedPadRingConsumer;
using qor::hidlow::QVA::SharedPadRingError;
using qor::hidlow::QVA::SharedPadRingMapping;
using qor::hidlow::QVA::SharedPadRingProducer;
using Cause = SharedPadRingError::Cause;
using namespace qor::test;

class SharedPadRing : public ::testing::Test {
protected:
    void TearDown() override { shm_unlink(m_name.c_str()); }

    // Replaces the object with these bytes, as another program might.
    void MakeRawObject(const std::vector<unsigned char>& bytes) const {
        shm_unlink(m_name.c_str());
        const int fd = shm_open(m_name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), write(fd, bytes.data(), bytes.size()));
        close(fd);
    }

    // Overwrites four bytes of the object, as damage or another version would.
    void Patch(std::size_t offset, s32 value) const {
        const int fd = shm_open(m_name.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(4, pwrite(fd, &value, 4, static_cast<off_t>(offset)));
        close(fd);
    }

    const std::string m_name = "/qor-shared-ring-test-" + std::to_string(getpid());
};

// Runs what the statement throws past the expected cause and message part.
#define EXPECT_SHARED_RING_ERROR(statement, cause, part)                                        \
    try {                                                                                       \
        statement;                                                                              \
        ADD_FAILURE() << #statement " did not throw";                                           \
    } catch (const SharedPadRingError& error) {                                                 \
        EXPECT_EQ(static_cast<int>(cause), static_cast<int>(error.GetCause())) << error.what(); \
        EXPECT_NE(std::string::npos, std::string(error.what()).find(part)) << error.what();     \
    }

TEST_F(SharedPadRing, OneProducerAtATimeUntilTheKernelDropsAKilledOnesLock) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t first = fork();
    if (first == 0) {
        SharedPadRingProducer producer = SharedPadRingProducer::CreateOrTakeOver(m_name);
        SequenceWriter(producer.Ring()).Write(3);
        const char byte = 1;
        (void)!write(ready[1], &byte, 1);
        pause();
        _exit(0);
    }
    char byte = 0;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    const SharedPadRingConsumer consumer = SharedPadRingConsumer::Open(m_name);
    EXPECT_TRUE(consumer.ProducerAlive());
    EXPECT_EQ(first, consumer.ProducerPid());
    const std::string pid = "pid " + std::to_string(first);
    EXPECT_SHARED_RING_ERROR(SharedPadRingProducer::CreateOrTakeOver(m_name), Cause::kProducerAlive,
                             m_name + ": its producer, " + pid);
    EXPECT_SHARED_RING_ERROR(SharedPadRingMapping::Remove(m_name), Cause::kProducerAlive, pid);
    EXPECT_TRUE(consumer.ProducerAlive()) << "the refusals must not disturb the producer";

    kill(first, SIGKILL);
    ASSERT_EQ(first, waitpid(first, nullptr, 0));
    EXPECT_FALSE(consumer.ProducerAlive());
    EXPECT_EQ(first, consumer.ProducerPid()) << "a killed producer leaves its pid behind";

    SharedPadRingProducer second = SharedPadRingProducer::CreateOrTakeOver(m_name);
    EXPECT_TRUE(second.TookOver());
    EXPECT_EQ(first, second.PreviousProducerPid());
    EXPECT_EQ(2, consumer.ProducerCount());
    EXPECT_TRUE(consumer.ProducerAlive());
    EXPECT_EQ(getpid(), consumer.ProducerPid());
    SequenceWriter writer(second.Ring());
    writer.Next() = 3;
    writer.Write(1);
    ReadRecord consumerRead(-1);
    consumerRead.Read(consumer.Ring());
    ASSERT_EQ(4, consumerRead.count) << "the ring outlives its producer";
    EXPECT_EQ("",
              ReadViolation(consumerRead.delivered, consumerRead.count, -1, consumerRead.index));

    // A clean stop that removes the name: attached consumers read on.
    second.RemoveName();
    EXPECT_FALSE(consumer.StillLinked());
    EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::Open(m_name), Cause::kNotFound, m_name);
    { const SharedPadRingProducer stopping = std::move(second); }
    EXPECT_FALSE(consumer.ProducerAlive());
    EXPECT_EQ(0, consumer.ProducerPid()) << "a clean stop records that no producer runs";
}

TEST_F(SharedPadRing, AConsumerCannotWriteTheRing) {
    const SharedPadRingProducer producer = SharedPadRingProducer::CreateOrTakeOver(m_name);
    const pid_t child = fork();
    if (child == 0) {
        const SharedPadRingConsumer consumer = SharedPadRingConsumer::Open(m_name);
        signal(SIGSEGV, SIG_DFL);  // a sanitizer's handler would report and exit instead
        const_cast<PadLifoRing&>(consumer.Ring()).m_writePointer.m_v = 3;
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << "status " << status;
    EXPECT_EQ(-1, producer.Ring().m_writePointer);
}

TEST_F(SharedPadRing, EachHeaderMismatchHasItsOwnError) {
    auto open = [this] { SharedPadRingConsumer::Open(m_name); };
    auto produce = [this] { SharedPadRingProducer::CreateOrTakeOver(m_name); };
    EXPECT_SHARED_RING_ERROR(open(), Cause::kNotFound, "no shared pad ring " + m_name);
    EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::Open(""), Cause::kInvalidName, "empty");
    EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::Open("a/b"), Cause::kInvalidName, "'a/b'");

    produce();  // made, then left for the next producer
    struct Mismatch {
        std::size_t offset;
        s32 value;
        s32 restored;
        Cause cause;
        const char* part;
    };
    const Mismatch mismatches[] = {
        {0, 0x31525052, 0x31525051, Cause::kNotARing, "is not a shared pad ring"},
        {12, 2, 1, Cause::kWrongVersion, "format version 2; this library reads version 1"},
        {4, 160, 168, Cause::kWrongRingSize, "160-byte ring"},
        {8, 12, 64, Cause::kWrongRingOffset, "offset 12"},
        {8, 68, 64, Cause::kWrongRingOffset, "not a multiple of 8"},
        {8, 4096, 64, Cause::kTooSmall, "ends before its ring"},
    };
    for (const Mismatch& mismatch : mismatches) {
        Patch(mismatch.offset, mismatch.value);
        EXPECT_SHARED_RING_ERROR(open(), mismatch.cause, mismatch.part);
        EXPECT_SHARED_RING_ERROR(produce(), mismatch.cause, mismatch.part);
        Patch(mismatch.offset, mismatch.restored);
    }
    Patch(64 + 16, 99);  // m_writePointer
    EXPECT_SHARED_RING_ERROR(produce(), Cause::kDamaged, "m_writePointer outside -1..7");
    open();  // a consumer may look at a damaged ring; its reads report the damage

    MakeRawObject({'x'});
    EXPECT_SHARED_RING_ERROR(open(), Cause::kTooSmall, m_name + " is 1 bytes, too small");
    MakeRawObject(std::vector<unsigned char>(4096));
    EXPECT_SHARED_RING_ERROR(open(), Cause::kNotARing, "is not a shared pad ring");
    EXPECT_SHARED_RING_ERROR(produce(), Cause::kNotARing, "is not a shared pad ring");
    EXPECT_SHARED_RING_ERROR(SharedPadRingMapping::Remove(m_name), Cause::kNotARing, m_name);
    struct stat status;
    ASSERT_EQ(0, stat(("/dev/shm" + m_name).c_str(), &status));
    EXPECT_EQ(4096, status.st_size) << "somebody else's object is neither used nor removed";
}

// A producer that dies while making the object leaves it empty, or sized but
// without its magic: consumers wait, the next producer makes it afresh.
TEST_F(SharedPadRing, AnObjectLeftHalfMadeIsMadeAgainByTheNextProducer) {
    for (const std::size_t size : {std::size_t{0}, sizeof(qor::hidlow::QVA::SharedPadRingObject)}) {
        std::vector<unsigned char> bytes(size, 0xa5);
        std::fill_n(bytes.begin(), std::min<std::size_t>(4, size), 0);
        MakeRawObject(bytes);
        EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::Open(m_name), Cause::kNotReady,
                                 "has no header yet");
        const SharedPadRingProducer producer = SharedPadRingProducer::CreateOrTakeOver(m_name);
        EXPECT_FALSE(producer.TookOver());
        EXPECT_EQ(-1, producer.Ring().m_writePointer);
        EXPECT_EQ(1, SharedPadRingConsumer::Open(m_name).ProducerCount());
    }
}

}  // namespace
