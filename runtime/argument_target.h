// Task targets that take plain values: their Scheme arguments are read when the task is scheduled, on the
// process's own thread, so the target never touches an interpreter's cells from the scheduler's thread, and no
// cell stays protected while the task waits.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "interpreter/scheme.h"
#include "platform/objects/foundation.h"
#include "scheduler/tasks.h"

namespace omb {

// What such a task carries: the numbers of its argument list in order; the bytes of a byte vector or string
// argument, and the text of a string argument, where a target takes one; the objects it works on (a canvas, a path),
// held so that Scheme dropping them while the task waits cannot free them under it.
struct TaskArguments {
    std::vector<double> numbers;
    std::vector<uint8_t> bytes;
    std::string text;
    std::vector<Ref<Object>> objects;
    double number(size_t i) const { return i < numbers.size() ? numbers[i] : 0.0; }
    int integer(size_t i) const { return static_cast<int>(number(i)); }
};

class ArgumentTarget : public CM {
public:
    // Reads the argument list given to "call-cpp-at-time"; false, with the error reported, when it is not what the
    // target takes. The default takes numbers (integers and reals) only.
    virtual bool read(scheme* sc, pointer args, TaskArguments& into) const;
};

// The bytes of a message given as a string, or a list or vector of byte values (0 to 255); false for anything
// else (a circular list included).
bool read_bytes(scheme* sc, pointer data, std::vector<uint8_t>& into);

// Binds a member function of T, like CMI, for targets whose tasks carry TaskArguments.
template <class T>
class ArgumentCMI : public ArgumentTarget {
public:
    using Member = void (T::*)(TaskI*);
    ArgumentCMI(Member member, T* object) : member_(member), object_(object) {}
    void execute(TaskI* task) override {
        if (!object_) {
            std::fputs("OMB::Object has been removed before task could execute!\n", stderr);
            return;
        }
        (object_->*member_)(task);
    }
    void print() override { std::printf("OBJ: %p  MEMBER: %d\n", static_cast<void*>(object_), member_ ? 1 : 0); }

private:
    Member member_;
    T* object_;
};

// Keeps a task target for the rest of the program: processes hold targets as raw pointers in their globals, and a
// task may still be queued when its process has gone. Any thread.
CM* keep_target(std::unique_ptr<CM> target);

// The arguments of a task made for an ArgumentTarget.
inline const TaskArguments& task_arguments(TaskI* task) { return static_cast<Task<TaskArguments>*>(task)->getArg(); }

}  // namespace omb
