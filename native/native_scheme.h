// The general native library: every name NativeScheme::schemeInit binds into a process, family by family, in one
// fixed order (vector math, files, help, the log, the object bridge, inter-process calls, system utilities, live
// video, windows, movie capture, and the OpenGL family, whose procedures the graphics library holds).
//
// Each family lives in files of its own and hands over its names as a table in registration order; schemeInit
// binds the tables in turn. Threads: schemeInit runs on the executer of the process starting; the procedures run
// on the executer of the process that calls them.
#pragma once

#include <atomic>
#include <span>
#include <vector>

#include "interpreter/scheme.h"

namespace omb {

class SchemeInterface;

// One name and its procedure.
struct NativeProcedure {
    const char* name;
    foreign_func procedure;
};
using NativeTable = std::span<const NativeProcedure>;

class NativeScheme {
public:
    // Set by "sys:vector-recycle": vector results reuse a destination instead of allocating.
    static inline std::atomic<bool> RECYCLE_CELLS{false};
    // "objc:gc" sets the program-wide OBJC_GC of platform/log_bridge.h.

    static void schemeInit(SchemeInterface* process);

    // Every name schemeInit binds, in its order: what the registration test compares with the expected list.
    static std::vector<const char*> names();
};

// ---- the families' tables (each in the files named) --------------------------------------------------------------
// native/system_names.cpp: io:binary-or ... string->cptr.
NativeTable converter_and_log_procedures();
// native/system_names.cpp: sys:clear-log-view ... sys:get-documentation-dictionary.
NativeTable log_help_and_buffer_procedures();
// native/files.cpp: io:cwd ... io:make-directory.
NativeTable file_procedures();
// native/vector_math_scheme.cpp: sys:vector-recycle.
NativeTable memory_procedures();
// native/vector_math_scheme.cpp: math:matrix* ... math:vector-sum-and-rotate-i.
NativeTable vector_math_procedures();
// native/vector_data.cpp: objc:nsdata->vector ... objc:vector->nsdata-uint8.
NativeTable vector_data_procedures();
// native/objc_bridge_scheme.cpp: objc:make ... objc:string->nsdata.
NativeTable object_bridge_procedures();
// native/objc_bridge_scheme.cpp: the object bound to *ombrel-objc-bridge* (the bridge, retained for the cell).
Object* objc_bridge_object();
// native/system_names.cpp: sys:run-applescript.
NativeTable script_procedures();
// native/ipc.cpp: sys:ipc-call ... io:send-port-message.
NativeTable ipc_procedures();
// native/system_names.cpp: sys:get-text-buffer, sys:set-text-buffer, sys:set-pasteboard.
NativeTable text_buffer_and_pasteboard_procedures();

}  // namespace omb
