// OBJCBridge: the object Scheme knows as *ombrel-objc-bridge*, through which native code and controls call Scheme.
// A call by procedure name, or a control's action turned into (objc:action tag value), becomes Scheme text queued
// for a process's executer as an eval task labelled "IPC CALL"; nothing here evaluates. Its class methods turn
// separated text into data objects of numbers for the native calls that take them.
//
// Text built here is always read back as one call: string arguments are written with their quotes and
// backslashes escaped, and a procedure name that is not a plain name is refused.
//
// Threads: any; calls only format text and queue it.
#pragma once

#include <cstdint>
#include <string>

#include "platform/objects/foundation.h"

namespace omb {

class OBJCBridge : public Object {
public:
    // The program's one bridge, made on first use and never destroyed.
    static OBJCBridge& instance();
    // OBJCBridge and OMBControl in the object runtime, once.
    static void register_classes();

    // The sample clock's low 32 bits.
    static uint32_t now();
    // (name arg ...) queued in the named process: numbers as printed, anything else as a quoted string. False,
    // with "Bad Process Name" in the log, when there is no such process.
    static bool call_scheme_function(const std::string& name, const NSArray* args, const std::string& process);
    // (objc:action tag value) queued in the primary process; `value` is Scheme text.
    static bool action(int64_t tag, const std::string& value);

    // Data objects of 4-byte numbers from text split at a separator.
    static Ref<NSData> float_array(const std::string& text, const std::string& separator);
    static Ref<NSData> int_array(const std::string& text, const std::string& separator);
    static Ref<NSData> uint_array(const std::string& text, const std::string& separator);
    // A data object of pointers into a copy of the floats that it owns: the i-th points at the float after the
    // first i counts' worth. Throws NSRangeException when the counts ask for more floats than there are.
    static Ref<NSData> split_floats(const NSData& floats, const NSData& counts);

    // A Scheme string literal of the text.
    static std::string quoted(const std::string& text);

    std::string class_name() const override { return "OBJCBridge"; }
};

}  // namespace omb
