#pragma once

#include <chrono>
#include <string>

// How `net` commands for one service are admitted on Windows, with the
// contract of CommandAdmission.h on Linux:
// - one command at work and one waiting behind it; a further one is refused
//   at once;
// - commands that one parent launched back to back act in launch order: a
//   command first lets each earlier `net` sibling (same parent, same
//   program, created before it) take its place, waiting for the sibling's
//   "joined" event or its end, at most 3 s, whatever service the sibling is
//   for;
// - a waiting command sleeps on the mutex and the handle of the program that
//   ran it, at most until its deadline, and gives up once that program ends;
// - a command that has ended (crashed) holds up nothing: its mutex is
//   abandoned, which the next owner takes as released.
// Two named mutexes per service (the name without regard to case, as the
// service control manager compares it) in the Global namespace, so commands
// of every session meet: ".work" is held by the command at work, ".wait" by
// the one waiting. Every object is made with a DACL for SYSTEM and
// Administrators only, and one that another account owns is refused. One
// object per process, on one thread.
class MutexAdmission
{
public:
    // Waits for earlier siblings to take their places, then takes the free
    // place for `name` (UTF-8) or is refused. Throws Poco::SystemException
    // when an object cannot be made, Poco::NoPermissionException when one
    // belongs to another account.
    MutexAdmission(const std::string& name, int iTimeoutMs);

    // Lets go of the places. Never throws.
    ~MutexAdmission();

    MutexAdmission(const MutexAdmission&) = delete;
    MutexAdmission& operator=(const MutexAdmission&) = delete;

    // Whether the command may go on; false: it must fail at once.
    bool admitted() const { return m_bAdmitted; }

    // Sleeps until the command ahead has let go of the service. Throws
    // Poco::TimeoutException when it still holds it `iTimeoutMs` after the
    // constructor began, Poco::SystemException when the program that ran net
    // ends first.
    void waitForTurn();

private:
    std::string m_strName;
    int m_iTimeoutMs;
    std::chrono::steady_clock::time_point m_deadline;
    // Windows HANDLEs.
    void* m_hParent = nullptr; // SYNCHRONIZE; null for an orphan
    void* m_hWork = nullptr;
    void* m_hWait = nullptr;
    void* m_hJoined = nullptr; // set once this command has its place or was refused
    bool m_bAtWork = false;
    bool m_bWaiting = false;
    bool m_bAdmitted = false;
};
