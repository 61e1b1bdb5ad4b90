// One running program per user and data directory.
//
// The rendezvous is a lock file in the data directory, named after the main
// window's class, write-locked for the life of the process with an
// open-file-description lock: the kernel drops it when the process ends
// however it ends, so a crashed instance never blocks the next start, and
// two users (or two HOMEs) never see each other. The lock can be tested
// without taking it, which is how other programs ask whether the program
// runs. The descriptor is close-on-exec, so programs that the instance
// starts do not keep the lock alive after it ends.
//
// Claim checks and takes the rendezvous in one step, so two programs started
// together cannot both win; a probe never takes it, so it cannot make a
// starting program believe that another one runs. Call from one thread at a
// time. Nothing here logs; the caller does.
#ifndef PV_PLATFORM_DESKTOP_INSTANCE_H
#define PV_PLATFORM_DESKTOP_INSTANCE_H

enum koInstanceClaim {
  kInstanceFirst = 1,   // this process holds the rendezvous now
  kInstanceOther = 0,   // another process holds it
  kInstanceError = -1,  // the lock file could not be opened or locked
};

// Takes the rendezvous of class_name in data_dir ("<data_dir>/<class_name>.lock",
// made mode 0600 when missing). *err (OUT, may be null) = errno on kInstanceError.
// A second claim while this process holds one answers kInstanceOther.
koInstanceClaim koClaimSingleInstance(const char* class_name, const char* data_dir, int* err);

// 1 when some process (this one included) holds the rendezvous of class_name
// in data_dir, else 0; a missing or unreadable lock file means nobody does.
// Creates nothing.
int koProbeSingleInstance(const char* class_name, const char* data_dir);

// Gives the rendezvous up (for tests; the program keeps it to its end).
void koReleaseSingleInstance();

#endif  // PV_PLATFORM_DESKTOP_INSTANCE_H
