// The life of a pad ring in named shared memory: one producer at a time, also
// across a producer killed with SIGKILL; the controller it names, read whole;
// consumers that cannot write; a header check with one error for each
// mismatch; objects left half made; and a hostile or broken machine: closed
// standard streams, a full /dev/shm, a FIFO squatting the name, another user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ChildProcess.h"
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

    std::string Path() const { return "/dev/shm" + m_name; }

    mode_t ModeOnDisk() const {
        struct stat status;
        return stat(Path().c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
    }

    const std::string m_name = "/qor-shared-ring-test-" + std::to_string(getpid());
};

// "" when statement throws cause with part in its message, otherwise what
// happened instead: usable in a child process too, where GoogleTest is not.
std::string Refusal(const std::function<void()>& statement, Cause cause, const std::string& part) {
    try {
        statement();
        return "no refusal (" + part + "); ";
    } catch (const SharedPadRingError& error) {
        const bool expected =
            error.GetCause() == cause && std::string(error.what()).find(part) != std::string::npos;
        return expected ? "" : std::string("unexpected: ") + error.what() + "; ";
    }
}

#define EXPECT_SHARED_RING_ERROR(statement, cause, part) \
    EXPECT_EQ("", Refusal([&] { statement; }, cause, part)) << #statement

TEST_F(SharedPadRing, OneProducerAtATimeUntilTheKernelDropsAKilledOnesLock) {
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    const pid_t first = fork();
    if (first == 0) {
        SharedPadRingProducer producer = SharedPadRingProducer::CreateOrTakeOver(m_name);
        producer.ConnectDevice("Test Pad");
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
    auto device = consumer.Device();
    ASSERT_TRUE(device.has_value());
    EXPECT_TRUE(device->connected);
    EXPECT_EQ("Test Pad", device->name);
    EXPECT_EQ(1, device->connections);
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
    device = consumer.Device();
    ASSERT_TRUE(device.has_value());
    EXPECT_FALSE(device->connected) << "a new producer starts without the old one's controller";
    EXPECT_EQ("", device->name);
    EXPECT_EQ(1, device->connections);

    // A clean stop that removes the name: attached consumers read on.
    second.RemoveName();
    EXPECT_FALSE(consumer.StillLinked());
    EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::Open(m_name), Cause::kNotFound, m_name);
    { const SharedPadRingProducer stopping = std::move(second); }
    EXPECT_FALSE(consumer.ProducerAlive());
    EXPECT_EQ(0, consumer.ProducerPid()) << "a clean stop records that no producer runs";
}

// Names of every length, rewritten flat out: every confirmed copy is one whole
// rewrite, and a name too long for its room is cut before a character.
TEST_F(SharedPadRing, TheControllerIsReadWhole) {
    SharedPadRingProducer producer = SharedPadRingProducer::CreateOrTakeOver(m_name);
    const SharedPadRingConsumer consumer = SharedPadRingConsumer::Open(m_name);
    // 'e' and then a two-byte character straddling the room's last byte.
    producer.ConnectDevice(std::string(110, 'e') + "\u00e9\u00e9");
    ASSERT_TRUE(consumer.Device().has_value());
    EXPECT_EQ(std::string(110, 'e'), consumer.Device()->name);

    std::atomic<bool> done{false};
    std::atomic<int> rewrites{0};
    std::thread rewriter([&] {
        for (int n = 0; !done; ++n) {
            // connections n + 2, and n in every byte of a name n % 111 long
            producer.ConnectDevice(std::string(n % 111, static_cast<char>('a' + n % 26)));
            rewrites = n + 1;
        }
    });
    // Until both have had their share; a loaded machine may starve either.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int confirmed = 0;
    while ((confirmed < 2000 || rewrites < 20000) && std::chrono::steady_clock::now() < giveUp) {
        const auto device = consumer.Device();
        const int n = device.has_value() ? device->connections - 2 : -1;
        confirmed += n >= 0;
        if (n >= 0 && device->name != std::string(n % 111, static_cast<char>('a' + n % 26))) {
            ADD_FAILURE() << "rewrite " << n << " read as '" << device->name << "'";
            break;
        }
    }
    done = true;
    rewriter.join();
    EXPECT_GE(confirmed, 2000);
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
        {12, 1, 2, Cause::kWrongVersion, "format version 1; this library reads version 2"},
        {4, 160, 168, Cause::kWrongRingSize, "160-byte ring"},
        {8, 12, 64, Cause::kWrongRingOffset, "offset 12"},
        {8, 68, 64, Cause::kWrongRingOffset, "not a multiple of 8"},
        {8, 4096, 64, Cause::kTooSmall, "ends before its ring"},
        {24, 224, 256, Cause::kWrongDeviceBlock, "device block at offset 224"},
        {28, 64, 128, Cause::kWrongDeviceBlock, "64-byte device block"},
    };
    // A refusal leaves the object as it was, its mode included.
    auto widen = [this] { SharedPadRingProducer::CreateOrTakeOver(m_name, 0644); };
    for (const Mismatch& mismatch : mismatches) {
        Patch(mismatch.offset, mismatch.value);
        EXPECT_SHARED_RING_ERROR(open(), mismatch.cause, mismatch.part);
        EXPECT_SHARED_RING_ERROR(widen(), mismatch.cause, mismatch.part);
        Patch(mismatch.offset, mismatch.restored);
    }
    // A producer that died while naming its controller leaves the device
    // block's count odd: consumers learn nothing, the next producer rewrites it.
    Patch(256, 7);
    EXPECT_FALSE(SharedPadRingConsumer::Open(m_name).Device().has_value());
    produce();
    EXPECT_TRUE(SharedPadRingConsumer::Open(m_name).Device().has_value());

    Patch(64 + 16, 99);  // m_writePointer
    EXPECT_SHARED_RING_ERROR(widen(), Cause::kDamaged, "m_writePointer outside -1..7");
    EXPECT_EQ(0600u, ModeOnDisk());
    open();  // a consumer may look at a damaged ring; its reads report the damage

    MakeRawObject({'x'});
    EXPECT_SHARED_RING_ERROR(open(), Cause::kTooSmall, m_name + " is 1 bytes, too small");
    MakeRawObject(std::vector<unsigned char>(4096));
    EXPECT_SHARED_RING_ERROR(open(), Cause::kNotARing, "is not a shared pad ring");
    EXPECT_SHARED_RING_ERROR(widen(), Cause::kNotARing, "is not a shared pad ring");
    EXPECT_SHARED_RING_ERROR(SharedPadRingMapping::Remove(m_name), Cause::kNotARing, m_name);
    struct stat status;
    ASSERT_EQ(0, stat(Path().c_str(), &status));
    EXPECT_EQ(4096, status.st_size) << "somebody else's object is neither used nor removed";
    EXPECT_EQ(0600u, status.st_mode & 07777);
}

// A FIFO opened for reading waits for a writer; a consumer must not.
TEST_F(SharedPadRing, AFifoSquattingTheNameIsRefusedUntouchedAndNeverWaitedOn) {
    ASSERT_EQ(0, mkfifo(Path().c_str(), 0600));
    ASSERT_EQ(0, chmod(Path().c_str(), 0666));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::OpenWhenMade(m_name, std::chrono::seconds(5)),
                             Cause::kNotAFile, m_name + " is a FIFO, not a shared-memory object");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_SHARED_RING_ERROR(SharedPadRingProducer::CreateOrTakeOver(m_name, 0644),
                             Cause::kNotAFile, "a FIFO");
    EXPECT_SHARED_RING_ERROR(SharedPadRingMapping::Remove(m_name), Cause::kNotAFile, "a FIFO");
    EXPECT_EQ(0666u, ModeOnDisk()) << "a FIFO is no ring to remove or to narrow";
}

// With stdout closed, the first descriptor free is 1: a ring there would take
// the process's own output.
TEST_F(SharedPadRing, NoRingTakesTheNumberOfAClosedStandardStream) {
    EXPECT_EQ("", InChild([this](const Pause&) -> std::string {
                  close(STDIN_FILENO);
                  close(STDOUT_FILENO);
                  close(STDERR_FILENO);
                  const SharedPadRingProducer producer =
                      SharedPadRingProducer::CreateOrTakeOver(m_name);
                  const SharedPadRingConsumer consumer = SharedPadRingConsumer::Open(m_name);
                  std::string problem;
                  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
                      if (fcntl(fd, F_GETFD) >= 0) {
                          problem += "descriptor " + std::to_string(fd) + " holds a ring; ";
                      }
                  }
                  return problem;
              }));
}

// A page the producer could not get would kill with SIGBUS whoever touches it.
TEST_F(SharedPadRing, AFullDevShmIsAnErrorNeverAFault) {
    const std::string problem = InChild([this](const Pause&) -> std::string {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("qor-test", "/dev/shm", "tmpfs", 0, "size=16k") != 0) {
            return "skip: no private mount namespace with a tmpfs of its own here (needs root)";
        }
        const int filler = open("/dev/shm/filler", O_WRONLY | O_CREAT, 0600);
        const char page[4096] = {};
        while (write(filler, page, sizeof page) > 0) {
        }
        std::string problem = Refusal([this] { SharedPadRingProducer::CreateOrTakeOver(m_name); },
                                      Cause::kSystem, "No space left on device");
        if (access(Path().c_str(), F_OK) == 0) {
            problem += "a refused producer left the object behind; ";
        }
        // As a producer that died after sizing its object, with no page behind it.
        const int fd = shm_open(m_name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
        if (fd < 0 || ftruncate(fd, sizeof(qor::hidlow::QVA::SharedPadRingObject)) != 0) {
            return problem + "cannot make a sized object";
        }
        problem += Refusal([this] { SharedPadRingConsumer::Open(m_name); }, Cause::kNotReady,
                           "has no header yet");
        problem += Refusal([this] { SharedPadRingProducer::CreateOrTakeOver(m_name); },
                           Cause::kSystem, "No space left on device");
        SharedPadRingMapping::Remove(m_name);
        return problem;
    });
    if (problem.rfind("skip: ", 0) == 0) {
        GTEST_SKIP() << problem.substr(6);
    }
    EXPECT_EQ("", problem);
}

// A ring made 0644 is private from its creation until its mode is set; a
// narrower mode set by a new producer shuts a reader out without removing it.
TEST_F(SharedPadRing, AnotherUserWaitsOutARingBeingMadeAndIsToldWhenShutOut) {
    const std::optional<OtherUser> other = FindOrMakeOtherUser();
    if (!other) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    MakeRawObject({});  // created, its mode not set yet
    EXPECT_EQ("", InChild(
                      [this](const Pause&) {
                          return Refusal([this] { SharedPadRingConsumer::Open(m_name); },
                                         Cause::kNotReady, "has no header yet");
                      },
                      other));

    { const SharedPadRingProducer maker = SharedPadRingProducer::CreateOrTakeOver(m_name, 0644); }
    EXPECT_EQ("",
              InChild(
                  [this](const Pause& narrowMeanwhile) -> std::string {
                      const SharedPadRingConsumer consumer = SharedPadRingConsumer::Open(m_name);
                      narrowMeanwhile();
                      std::string problem =
                          Refusal([this] { SharedPadRingConsumer::Open(m_name); }, Cause::kSystem,
                                  "Permission denied (owner root, mode 0600)");
                      if (!consumer.StillLinked() || consumer.StillOpenable()) {
                          problem += "a narrowed ring looks removed, or still open to this user";
                      }
                      return problem;
                  },
                  other,
                  [this] {
                      const SharedPadRingProducer narrowing =
                          SharedPadRingProducer::CreateOrTakeOver(m_name, 0600);
                  }));
}

// Whoever can make a name before the service starts must not feed its
// consumers: they read only what no one else may write, owned by their own
// user, root or an owner they name; a producer writes only into its own.
TEST_F(SharedPadRing, OnlyATrustedOwnersRingFeedsAConsumerAndOnlyItsOwnerProducesIntoIt) {
    const std::optional<OtherUser> other = FindOrMakeOtherUser();
    if (!other) {
        GTEST_SKIP() << "acting as another user needs root";
    }
    EXPECT_EQ("", InChild(
                      [this](const Pause&) {
                          SharedPadRingProducer::CreateOrTakeOver(m_name, 0644);
                          return std::string();
                      },
                      other));
    const std::string owned = "(owner qor-test-user, mode 0644)";
    EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::Open(m_name), Cause::kUntrustedOwner, owned);
    EXPECT_SHARED_RING_ERROR(SharedPadRingProducer::CreateOrTakeOver(m_name), Cause::kNotOwner,
                             "cannot produce into " + m_name + " " + owned);
    EXPECT_EQ(1, SharedPadRingConsumer::Open(m_name, "qor-test-user").ProducerCount())
        << "a refused producer took it over";
    SharedPadRingConsumer::Open(m_name, std::to_string(other->uid));
    EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::Open(m_name, "qor-no-such-user"),
                             Cause::kUnknownOwner, "no such user");

    EXPECT_EQ("", InChild(
                      [this](const Pause&) {
                          return std::string(chmod(Path().c_str(), 0620) == 0 ? "" : "no chmod");
                      },
                      other));
    EXPECT_SHARED_RING_ERROR(SharedPadRingConsumer::Open(m_name, "qor-test-user"),
                             Cause::kWritableByOthers, "(owner qor-test-user, mode 0620)");
}

// A Remove holds the producer lock for a moment: one that loses the race to
// another must not take the dead producer for a live one.
TEST_F(SharedPadRing, ConcurrentRemovesNeverNameADeadProducerAsRunning) {
    for (int round = 0; round < 50; ++round) {
        const pid_t producer = fork();
        if (producer == 0) {
            const SharedPadRingProducer held = SharedPadRingProducer::CreateOrTakeOver(m_name);
            pause();
            _exit(0);
        }
        while (access(Path().c_str(), F_OK) != 0 || ModeOnDisk() == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        SharedPadRingConsumer::OpenWhenMade(m_name, std::chrono::seconds(5));
        kill(producer, SIGKILL);
        waitpid(producer, nullptr, 0);
        std::atomic<int> ready{0};
        auto remove = [this, &ready] {
            ready.fetch_add(1);
            while (ready.load() < 2) {
            }
            try {
                SharedPadRingMapping::Remove(m_name);
                return std::string();
            } catch (const SharedPadRingError& error) {
                return std::string(error.what());
            }
        };
        std::string theirs;
        std::thread other([&] { theirs = remove(); });
        const std::string mine = remove();
        other.join();
        EXPECT_TRUE(mine.empty() != theirs.empty()) << mine << " / " << theirs;
        EXPECT_EQ(std::string::npos, (mine + theirs).find("is running")) << mine << theirs;
    }
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
