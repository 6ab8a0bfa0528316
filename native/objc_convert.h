// The object bridge's conversions: Scheme values into an invocation's arguments and its result back into a Scheme
// value, by the type encodings the method publishes (the tables in docs/objects.md).
//
// Arguments: an objc cell for '@'; a cptr for '^' or '*' ('^' only when making objects); a list for a structure
// named NSRange, NSPoint, NSSize or NSRect (or the CG names), its numbers taken in field order; a string for '*'
// (its characters) or '@' (a new NSString); #t or #f for 'B' or 'c'; an integer for c C s S i I l L q Q (cut to
// the field's width), and 0 for '@' or '^' (nil); a number for 'f' or 'd'. Other values set nothing (the position
// stays nil or 0). A value of the wrong kind for its position is reported and refused.
//
// Results: v #t; @ an objc cell owning one reference; * a new string (#f for none); ^ a cptr; B #t or #f; c a
// character; other integers as integers; f d reals; the known structures as lists of reals. Anything else is
// written to standard output as an unknown return type and gives #f.
//
// Threads: the calling process's executer, which owns the interpreter.
#pragma once

#include "interpreter/scheme.h"
#include "platform/objects/runtime.h"

namespace omb {

// How strict the arguments are: objc:make takes a cptr only for '^' and reports a wrong list with its own text.
enum class ArgumentRules { call, make };

// Fills the invocation's arguments from the list `values`, from position 2 on. Values beyond the method's
// arguments are ignored with a notification. False, with the error sent to the log, when a value does not fit.
bool set_arguments(scheme* sc, Invocation& invocation, pointer values, ArgumentRules rules);

// Invokes; a PlatformException's reason (or another exception's text) goes to the log as an error and gives #f.
// Otherwise the converted result.
pointer invoke_for_scheme(scheme* sc, Invocation& invocation);

// The converted result of an invocation that has run.
pointer result_to_scheme(scheme* sc, Invocation& invocation);

// A list built from its last element to its first, kept from the collector while the elements are made.
class SchemeListBuilder {
public:
    explicit SchemeListBuilder(scheme* sc) : sc_(sc), head_(sc->NIL) {}
    ~SchemeListBuilder() { unprotect_cell(sc_, head_); }
    SchemeListBuilder(const SchemeListBuilder&) = delete;
    SchemeListBuilder& operator=(const SchemeListBuilder&) = delete;

    // The allocation roots `x` itself.
    void push_front(pointer x) {
        pointer next = s_cons(sc_, x, head_);
        protect_cell(sc_, next);
        unprotect_cell(sc_, head_);
        head_ = next;
    }
    pointer take() const { return head_; }

private:
    scheme* sc_;
    pointer head_;
};

}  // namespace omb
