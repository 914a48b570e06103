#ifndef HALVANE_CORE_CRITICALSECTIONGUARD_H
#define HALVANE_CORE_CRITICALSECTIONGUARD_H

#include "Halvane.h"

namespace halvane {

// Holds a critical section for one scope, so that it is left on every path out (exceptions too).
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CSurrCriticalSection& cs) : m_cs(cs) { m_cs.Enter(); }
    ~CriticalSectionGuard() { m_cs.Leave(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CSurrCriticalSection& m_cs;
};

} // namespace halvane

#endif
