#include "sharememory.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#ifdef ZEF_SEGMENTS_FOR_ALL
// Built for a calling service that runs under a third user id: every local
// user may read and replace a result.
constexpr int SEGMENT_MODE = 0666;
#else
// Only the prompt's user, and root, may read or replace a result.
constexpr int SEGMENT_MODE = 0600;
#endif

void removeShareMemory(key_t key, size_t size)
{
    // Look up only: a leftover that we may not touch, or one smaller than
    // size, is left alone here and reported by the write that follows.
    int id = shmget(key, size, 0666);
    if (id == -1) {
        if (errno == ENOENT)
            puts("ENOENT");
        return;
    }
    shmctl(id, IPC_RMID, nullptr);
}

bool copyToShareMemory(key_t key, const void *data, size_t size)
{
    int id = shmget(key, size, IPC_CREAT | SEGMENT_MODE);
    if (id == -1) {
        switch (errno) {
        case EACCES:
            puts("The user does not have permission to access the shared memory segment, "
                 "and does not have the CAP_IPC_OWNER capability");
            break;
        case EEXIST:
            puts("IPC_CREAT | IPC_EXCL was specified and the segment exists");
            break;
        case EINVAL:
            // The hyphen in "seg‐ment" is U+2010, as in the shmget manual page.
            puts("A new segment was to be created and size < SHMMIN or size > SHMMAX, "
                 "or no new segment was to be created, a segment with given key existed, "
                 "but size is greater than the size of that seg\u2010ment.");
            break;
        default:
            break;
        }
        puts("shmget fail");
        return false;
    }
    // A segment that another user made under the key before us would hand
    // them the result. Its creator is the one thing about it that they
    // cannot change afterwards.
    shmid_ds ds{};
    if (shmctl(id, IPC_STAT, &ds) != 0 || ds.shm_perm.cuid != geteuid()) {
        printf("segment %d belongs to another user\n", static_cast<int>(key));
        puts("shmget fail");
        return false;
    }
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        puts("shmat fail");
        // Leave no segment behind that the caller could mistake for a result.
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    memcpy(addr, data, size);
    shmdt(addr);
    return true;
}
