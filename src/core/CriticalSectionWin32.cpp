// The object lock on Windows: a critical section in the lock's storage.
#include <new>
#include <windows.h>

#include "Halvane.h"

namespace {
static_assert(sizeof(CRITICAL_SECTION) <= 64 && alignof(CRITICAL_SECTION) <= 16, "lock storage too small");
CRITICAL_SECTION* AsSection(unsigned char* storage) {
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(storage));
}
} // namespace

CSurrCriticalSection::CSurrCriticalSection() {
    InitializeCriticalSection(AsSection(m_Storage));
}
CSurrCriticalSection::~CSurrCriticalSection() {
    DeleteCriticalSection(AsSection(m_Storage));
}
void CSurrCriticalSection::Enter() {
    EnterCriticalSection(AsSection(m_Storage));
}
void CSurrCriticalSection::Leave() {
    LeaveCriticalSection(AsSection(m_Storage));
}
