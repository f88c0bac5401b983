// Take-over of a graph from its previous feed through the pid file in /tmp.
#ifndef TRAXEL_TAKEOVER_H
#define TRAXEL_TAKEOVER_H

class feed_lock;

// True when pid names a process other than this one (0 and negative numbers
// would signal process groups or every process of the user) that is a feed
// of graph name: it runs this program's executable under the name name. A
// stale pid file, or a forged one, then kills no other process.
bool may_kill(int pid, const char *name);

// Reads the old feed's pid from name's pid file, prints "old-pid-%d" for a
// number read and kills that process with SIGKILL through the shell when
// may_kill allows it. Returns 1 when the pid file could be opened, else 0.
int kill_before_pid(const char *name);

// Replaces name's pid file (removing what lies there through the shell) by
// one that this feed creates, holding its id, and prints "new-pid-%d";
// prints "No se puede abrir archivo SAVE" first when the file cannot be
// created, and goes on without it.
void save_pid(const char *name);

// kill_before_pid, then save_pid, while holding the take-over lock of lk
// exclusively, so that of feeds of one graph started at the same moment each
// kills the one registered before it and exactly the last stays alive.
// Without the lock (it cannot be taken) the take-over goes on unguarded
// after a note on standard error.
void take_over(feed_lock &lk, const char *name);

#endif
