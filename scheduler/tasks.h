// Tasks and callback targets: work stamped with a sample time, run by the scheduler through a target object.
//
// A task's target is a `CM`; most targets are `CMI`s binding a member function of a subsystem singleton (or of a
// Scheme process) to its object. What a task carries is its own business: the scheduler only reads its time, its
// flags and its tag, and runs or discards it.
#pragma once

#include <cstdint>
#include <cstdio>

namespace omb {

class TaskI;

// A callback object: what running a task means.
class CM {
public:
    CM();
    virtual ~CM();
    CM(const CM&) = delete;
    CM& operator=(const CM&) = delete;
    virtual void execute(TaskI* task) = 0;
    virtual void print() {}
    // Whether `p` is a target that exists now. A pointer that comes from Scheme (any pointer value a performer
    // passes) is checked with this before it is used as one.
    static bool live(const void* p);
};

// Binds a member function of T to an object of T. Lives as long as the program.
template <class T>
class CMI : public CM {
public:
    using Member = void (T::*)(TaskI*);
    CMI(Member member, T* object) : member_(member), object_(object) {}

    void execute(TaskI* task) override {
        if (!object_) {
            std::fputs("OMB::Object has been removed before task could execute!\n", stderr);
            return;
        }
        (object_->*member_)(task);
    }

    void print() override {
        std::printf("OBJ: %p  MEMBER: %d\n", static_cast<void*>(object_), member_ ? 1 : 0);
    }

private:
    Member member_;
    T* object_;
};

// A unit of scheduled work. The scheduler owns a task from insertion until it is run or discarded.
class TaskI {
public:
    TaskI(int64_t time, bool callback, int32_t tag, CM* target)
        : time_(time), callback_(callback), tag_(tag), target_(target) {}
    virtual ~TaskI() = default;
    virtual void execute() { target_->execute(this); }
    virtual int32_t getTag() const { return tag_; }
    // Called instead of execute() when the scheduler throws the task away (reaped, blocked, cleared): a task
    // that carries a Scheme value lets it go, so discarded work never keeps cells protected.
    virtual void discard() {}
    // Who the task's data belongs to (a Scheme process's interpreter), so that work for a process that stops
    // can be withdrawn; null for tasks that belong to nobody in particular.
    virtual const void* owner() const { return nullptr; }

    int64_t time() const { return time_; }
    bool callback() const { return callback_; }
    CM* target() const { return target_; }

private:
    int64_t time_;
    bool callback_;
    int32_t tag_;
    CM* target_;
};

// A task with an argument the target reads. The task does not own its argument, except that a discarded task
// lets go of it (see the specialisation next to the argument type).
template <class T>
class Task : public TaskI {
public:
    Task(int64_t time, bool callback, int32_t tag, CM* target, T argument)
        : TaskI(time, callback, tag, target), argument_(argument) {}
    const T& getArg() const { return argument_; }
    void discard() override {}
    const void* owner() const override { return nullptr; }

private:
    T argument_;
};

// Orders the scheduler's queue: plain less-than on the full 64-bit start time (a 32-bit key would misorder
// tasks after 13.5 hours at 44.1 kHz).
template <class K>
struct SortCriteria {
    bool operator()(const K& a, const K& b) const { return a < b; }
};

}  // namespace omb
