// The object runtime: classes found by name, each with its superclass and its class and instance methods by
// selector name ("count", "objectAtIndex:", "initWithString:"); every method publishes its type encoding
// (platform/objects/type_encoding.h) and is called through an Invocation, which holds the arguments in a typed
// buffer laid out by that encoding.
//
// Classes are registered once and live for the whole program: the foundation classes when the runtime is first
// used, others by the module that owns them. An object's class is the registered class of its class_name(), or
// NSObject, the root. A method that fails throws PlatformException (platform/exception.h) with the platform's
// exception name ("NSRangeException") and a reason for the performer.
//
// Threads: lookups and invocations on any thread; registration takes a lock. An invocation belongs to one thread.
// The caller of an invocation keeps its receiver alive; object arguments are retained by the invocation.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/objects/foundation.h"
#include "platform/objects/type_encoding.h"

namespace omb {

class Class;
class Invocation;

using MethodBody = std::function<void(Invocation&)>;

struct Method {
    std::string selector;
    std::string encoding;       // as published
    MethodSignature signature;  // parsed from it
    std::vector<size_t> offsets;  // of each argument in an invocation's buffer
    size_t result_offset = 0;
    size_t buffer_size = 0;       // arguments and result
    MethodBody body;
};

// Throws std::invalid_argument when the encoding does not parse: a method is only ever made from a fixed text.
Method make_method(std::string selector, std::string encoding, MethodBody body);

class Class {
public:
    const std::string& name() const { return name_; }
    const Class* superclass() const { return superclass_; }
    // This class or one of its subclasses.
    bool is_kind_of(const Class* other) const;
    bool is_kind_of(std::string_view other_name) const;
    // Looked up here, then in the superclasses; null when no class in the chain has it.
    const Method* instance_method(std::string_view selector) const;
    const Method* class_method(std::string_view selector) const;
    // What this class itself defines, ordered by selector: for listings and checks.
    const std::map<std::string, Method, std::less<>>& own_instance_methods() const { return instance_methods_; }
    const std::map<std::string, Method, std::less<>>& own_class_methods() const { return class_methods_; }
    // A new uninitialised instance ("alloc"); throws PlatformException for a class that makes none.
    Ref<Object> allocate() const;

private:
    friend class ClassRegistry;
    std::string name_;
    const Class* superclass_ = nullptr;
    std::function<Ref<Object>()> allocate_;
    std::map<std::string, Method, std::less<>> class_methods_;
    std::map<std::string, Method, std::less<>> instance_methods_;
};

struct ClassDefinition {
    std::string name;
    std::string superclass;  // empty only for the root
    std::function<Ref<Object>()> allocate;  // empty: "alloc" refuses
    std::vector<Method> class_methods;
    std::vector<Method> instance_methods;
};

namespace runtime {

// Throws std::logic_error for a name already taken or an unknown superclass.
const Class* register_class(ClassDefinition definition);
const Class* find_class(std::string_view name);
// The class `object` belongs to; null for null.
const Class* class_of(const Object* object);
std::vector<const Class*> classes();

}  // namespace runtime

class Invocation {
public:
    // An instance method sent to `receiver` (whose class is `cls`), or a class method sent to `cls` (receiver
    // null). Arguments start zeroed: nil, 0, null.
    Invocation(const Method& method, Object* receiver, const Class* cls);
    Invocation(const Invocation&) = delete;
    Invocation& operator=(const Invocation&) = delete;

    const Method& method() const { return method_; }
    const MethodSignature& signature() const { return method_.signature; }
    // Receiver and selector included.
    size_t argument_count() const { return method_.signature.arguments.size(); }
    const EncodedType& argument_type(size_t index) const { return method_.signature.arguments.at(index); }
    // The argument's bytes: as many as its type's size.
    void* argument(size_t index) { return data() + method_.offsets.at(index); }
    const void* argument(size_t index) const { return data() + method_.offsets.at(index); }
    // An object argument, retained until the invocation ends.
    void set_object(size_t index, Object* object);
    // A character-string argument, kept until the invocation ends.
    void set_text(size_t index, std::string text);

    // Runs the method; what it throws passes on.
    void invoke();

    const void* result() const { return data() + method_.result_offset; }
    // An object result ('@'): the invocation holds one reference until it ends or the result is taken.
    Object* result_object() const { return result_object_.get(); }
    Ref<Object> take_result_object();

    // ---- for method bodies ----
    Object* receiver() const { return receiver_; }
    const Class* receiver_class() const { return class_; }
    // "-[NSArray objectAtIndex:]" or "+[NSString stringWithString:]": how exception reasons name the method.
    std::string method_name() const;
    // Copies of plain values; the size must be the encoded one.
    template <class T>
    T get(size_t index) const {
        check_size(index, sizeof(T));
        T value;
        std::memcpy(&value, argument(index), sizeof(T));
        return value;
    }
    template <class T>
    void set_result(const T& value) {
        check_result_size(sizeof(T));
        std::memcpy(data() + method_.result_offset, &value, sizeof(T));
    }
    void set_result_object(Ref<Object> object);

private:
    std::byte* data() { return reinterpret_cast<std::byte*>(buffer_.data()); }
    const std::byte* data() const { return reinterpret_cast<const std::byte*>(buffer_.data()); }
    void check_size(size_t index, size_t size) const;
    void check_result_size(size_t size) const;

    const Method& method_;
    Object* receiver_;
    const Class* class_;
    std::vector<std::uint64_t> buffer_;  // 8-byte aligned, as the largest alignment the encodings produce
    std::vector<Ref<Object>> kept_;
    std::deque<std::string> texts_;
    Ref<Object> result_object_;
};

}  // namespace omb
