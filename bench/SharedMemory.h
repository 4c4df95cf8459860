// A region of POSIX shared memory for a parent and the child it forks. The
// name is removed as soon as the region is mapped: the mapping lives on in
// both processes, and nothing is left behind if either dies.
#pragma once

#include <cstddef>

namespace qor::bench {

class SharedMemory {
public:
    explicit SharedMemory(std::size_t size);
    ~SharedMemory();
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    // nullptr when the region could not be created.
    void* Address() const { return m_address; }

private:
    std::size_t m_size;
    void* m_address = nullptr;
};

}  // namespace qor::bench
