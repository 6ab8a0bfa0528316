// Scheme vectors to and from native arrays: reading a vector of numbers as doubles, writing doubles back as reals
// (reusing the vector's own number cells when recycling is on), the flattening converters into packed 32-bit
// integers, bytes and floats, and the objc: procedures that turn vectors into data objects and back.
//
// Threads: the executer of the process whose interpreter the cells belong to, like every native procedure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "interpreter/scheme.h"

namespace omb {

// ---- reading and writing vectors of numbers -----------------------------------------------------------------------
// Every element of `vec` read as a real into `out`, resized to its length; false when one is not a number.
bool read_reals(pointer vec, std::vector<double>& out);
// The same, each element truncated toward zero to an integer.
bool read_integers(pointer vec, std::vector<int64_t>& out);

// Stores values[i] as a real in element i of `vec`, which holds exactly values.size() elements. With
// NativeScheme::RECYCLE_CELLS on, a number cell this library wrote into a vector before is overwritten in place;
// any other element (a number from elsewhere, a literal of the program, one cell appearing twice) is replaced by
// a new real, so no number the program holds elsewhere changes, short of one it took out of the vector itself.
// Allocates only for the elements it replaces.
void write_reals(scheme* sc, pointer vec, std::span<const double> values);
// A new vector of the values as reals; #f (with the interpreter's error) when no such vector can be made.
pointer new_real_vector(scheme* sc, std::span<const double> values);

// ---- flattening converters ------------------------------------------------------------------------------------------
// Each walks `vec` in order: an element that is a vector is flattened in place, recursively; a number is written
// at the next position (as an integer truncated to 32 or 8 bits, or narrowed to a float). They never write past
// the buffer: a vector with more values than it holds, an element that is neither, or nesting deeper than
// kMaxNesting is refused with a reason, and the positions written so far are all that changed.
struct Flattened {
    size_t written = 0;
    const char* error = nullptr;  // nullptr when the whole vector was written
    explicit operator bool() const { return error == nullptr; }
};
constexpr int kMaxNesting = 32;

Flattened makeIntVector(scheme* sc, pointer vec, std::span<int32_t> out);
Flattened makeUInt8Vector(scheme* sc, pointer vec, std::span<uint8_t> out);
Flattened makeFloatVector(scheme* sc, pointer vec, std::span<float> out);

}  // namespace omb
