// system_tasks.h - the server's timed housekeeping tasks: checkpoint (by
// time and by log size), syncer (cache write-back), ps (session and task
// dump), and the wake-ups that timers and requests send them.
//
// Contexts: the task bodies, wake_task, schedule_checkpoint and
// checkpoint_check_log_size run on the server thread; the timer callbacks
// run on the timer thread and only post work to the server thread and call
// notify_event.
#pragma once

#include <cstdint>

struct Task;

// Set while the checkpoint task runs a checkpoint.
extern int checkpt_active;
// CheckPtSize in 8 KB pages; 0 disables the size trigger.
extern unsigned log_size_limit;

// Server thread: logs "Waking up thread %d (%s)" and, when task is blocked
// without a wait channel, unblocks it and calls notify_event(text). 1 when
// it was unblocked.
int wake_task(Task* task, const char* text);
// Timer callback (timer thread): posts wake_task(task, "TIMER") to the
// server thread.
void vtimer_wake_task(void* task);

// Wakes the checkpoint task unless a checkpoint runs; logs "Scheduling
// checkpoint: <reason>" when a reason is given; urgent raises the task to
// priority 4. Server thread.
void schedule_checkpoint(const char* reason, int urgent);
// The log size (pages) past which a checkpoint is urgent: the CheckPtSize
// limit (0: none), or half of what the LOG volumes can hold (capacity 0:
// unbounded) when that is less, since a size trigger larger than the log
// would never fire.
unsigned checkpoint_log_limit(unsigned size_limit, uint32_t capacity);
// The idle task's size trigger: when the log holds more than the limit,
// schedules an urgent checkpoint.
void checkpoint_check_log_size();
// One checkpoint with the reason "Checkpoint"; 0 or -1 after logging.
int dbml_checkpoint();

// The checkpoint task. A failed checkpoint is logged and tried again after
// a wait (1 s, doubling up to CheckPtFreq); the server goes on meanwhile.
// It also has the volume set call schedule_checkpoint when a LOG
// allocation finds the LOG volumes short.
void checkpoint_thread();
void syncer_thread();
void ps_thread();
