// task_sessions.h - database sessions for transaction tests under the task
// kernel: a task-session state per task of the run, found through the
// lookup that ssn.h installs, a transaction node made for the calling
// task's session, and a fixture layer that installs the lookup (with the
// LOG volumes in synchronous mode, as the server commits) around a test.
#pragma once
#include <gtest/gtest.h>

#include <map>

#include "storage/ssn.h"
#include "storage/task_runner.h"
#include "storage/tio.h"
#include "storage/tlog.h"
#include "storage/volume_set.h"

namespace storage_test {

// The sessions of the tasks of a run, found by task.
inline std::map<Task*, Ssn_STATE> g_sessions;
inline Ssn_STATE* session_lookup(Task* t) {
  auto it = g_sessions.find(t);
  return it == g_sessions.end() ? nullptr : &it->second;
}

// A transaction node of the calling task, in its session.
inline Node* session_tx() {
  Node* tx = Tlog_Create();
  EXPECT_NE(tx, nullptr);
  g_sessions[thread_self()].tx_node = tx;
  return tx;
}

template <class Base>
class TaskSessionFixture : public Base {
 protected:
  void SetUp() override {
    Base::SetUp();
    ASSERT_EQ(Vol_SetSyncMode(1), 0);
    Vol_Sync(Vol_TIO_SYNC);
    g_sessions.clear();
    ssn_set_lookup(session_lookup);
  }
  void TearDown() override {
    ssn_set_lookup(nullptr);
    g_sessions.clear();
    tio_cleanup();
    Base::TearDown();
  }
  TaskRunner runner;
};

}  // namespace storage_test
