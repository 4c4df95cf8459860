#include "SharedMemory.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace qor::bench {

SharedMemory::SharedMemory(std::size_t size) : m_size(size) {
    const std::string name = "/qor_bench_" + std::to_string(getpid());
    const int fd = shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
    if (fd < 0) {
        return;
    }
    void* address = MAP_FAILED;
    if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
        address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    }
    shm_unlink(name.c_str());
    close(fd);
    if (address != MAP_FAILED) {
        m_address = address;
    }
}

SharedMemory::~SharedMemory() {
    if (m_address != nullptr) {
        munmap(m_address, m_size);
    }
}

}  // namespace qor::bench
