// Mutual exclusion for the world state: an abstract lock, the one concrete
// lock over an operating-system critical section, and a scoped holder.
#ifndef CORVANE_WORLD_LOCKABLE_H
#define CORVANE_WORLD_LOCKABLE_H


class CLockable {
public:
    virtual bool Lock() = 0;    // waits; returns true
    virtual bool Unlock() = 0;  // returns true
    virtual bool TryLock() = 0; // true when taken without waiting

protected:
    ~CLockable() = default;
};

// Recursive: the owning thread may enter again, as a critical section allows.
// Construction throws the integer 1 when the system lock cannot be made.
class CCriticalSection final : public CLockable {
public:
    CCriticalSection();
    ~CCriticalSection();
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    bool Lock() override;
    bool Unlock() override;
    bool TryLock() override;

    struct CImpl; // the platform's lock, defined beside its implementation

private:
    // Storage for the platform object, kept out of this header so that
    // nothing but the platform file sees the system headers.
    alignas(8) unsigned char m_storage[64];
    CImpl* Impl();
};

class CAutoLock {
public:
    explicit CAutoLock(CLockable* lock) : m_lock(lock)
    {
        if (m_lock != nullptr) {
            m_lock->Lock();
        }
    }
    ~CAutoLock() { Unlock(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

    bool Unlock()
    {
        if (m_lock == nullptr) {
            return false;
        }
        CLockable* lock = m_lock;
        m_lock = nullptr;
        return lock->Unlock();
    }

private:
    CLockable* m_lock;
};

#endif
