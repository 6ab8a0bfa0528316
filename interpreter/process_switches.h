// Process-wide switches that Scheme code turns on and off and that the interpreter, the executer, the scheduler
// and the editor read. Shared by all processes, false at start; read and written without a lock.
#pragma once

#include <atomic>

namespace omb {

inline std::atomic<bool> SCHEME_EVAL_TIMING{false};      // the executer reports evaluation times
inline std::atomic<bool> TASK_QUEUE_LOGGING{false};      // the scheduler reports its queue every slice
inline std::atomic<bool> EXTENDED_ERROR_LOGGING{false};  // error reports carry the extended stack dump
inline std::atomic<bool> CAPS_THROUGH{false};            // the editor lets caps-lock keys through to the text

}  // namespace omb
