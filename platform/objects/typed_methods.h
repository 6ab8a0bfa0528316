// Methods of the object runtime made from plain C++ functions: the type encoding is written from the function's
// own parameter and result types, so what a method publishes and what its body reads cannot disagree.
//
//   instance_method("objectAtIndex:", +[](NSArray* self, uint64_t i) -> Ref<Object> { ... })   // "@24@0:8Q16"
//   class_method("stringWithString:", +[](const Class& cls, NSString* s) -> Ref<Object> { ... })
//
// Types and their codes: void v, bool B, char c, signed/unsigned char c/C, int16_t s, uint16_t S, int32_t i,
// uint32_t I, int64_t q, uint64_t Q, float f, double d, const char* r*, char* *, const void* r^v, void* ^v, a
// pointer to an Object class @ (an argument of another class is refused with NSInvalidArgumentException), Ref<T> @
// (results), and the structures of foundation.h. Offsets follow each type, every argument taking at least 4 bytes
// of the frame.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/exception.h"
#include "platform/objects/runtime.h"

namespace omb {

template <class T>
struct Encoding;

#define OMB_ENCODING(type, text) \
    template <>                  \
    struct Encoding<type> {      \
        static constexpr const char* code = text; \
    }

OMB_ENCODING(void, "v");
OMB_ENCODING(bool, "B");
OMB_ENCODING(char, "c");
OMB_ENCODING(signed char, "c");
OMB_ENCODING(unsigned char, "C");
OMB_ENCODING(int16_t, "s");
OMB_ENCODING(uint16_t, "S");
OMB_ENCODING(int32_t, "i");
OMB_ENCODING(uint32_t, "I");
OMB_ENCODING(long, "q");
OMB_ENCODING(unsigned long, "Q");
OMB_ENCODING(long long, "q");
OMB_ENCODING(unsigned long long, "Q");
OMB_ENCODING(float, "f");
OMB_ENCODING(double, "d");
OMB_ENCODING(const char*, "r*");
OMB_ENCODING(char*, "*");
OMB_ENCODING(const void*, "r^v");
OMB_ENCODING(void*, "^v");
OMB_ENCODING(NSPoint, "{NSPoint=ff}");
OMB_ENCODING(NSSize, "{NSSize=ff}");
OMB_ENCODING(NSRect, "{NSRect={NSPoint=ff}{NSSize=ff}}");
OMB_ENCODING(NSRange, "{_NSRange=QQ}");
OMB_ENCODING(CGPoint, "{CGPoint=dd}");

#undef OMB_ENCODING

template <class T>
    requires std::is_base_of_v<Object, T>
struct Encoding<T*> {
    static constexpr const char* code = "@";
};

template <class T>
struct Encoding<Ref<T>> {
    static constexpr const char* code = "@";
};

namespace typed {

template <class T>
constexpr size_t frame_size() {
    if constexpr (std::is_void_v<T>) {
        return 0;
    } else {
        return sizeof(T) < 4 ? 4 : sizeof(T);
    }
}

// "@24@0:8Q16": the result, the frame size, then each argument at its offset.
template <class R, class... Args>
std::string encoding_of() {
    const char* types[] = {"@", ":", Encoding<Args>::code...};
    const size_t sizes[] = {8, 8, frame_size<Args>()...};
    size_t total = 0;
    for (size_t s : sizes) total += s;
    std::string text = std::string(Encoding<R>::code) + std::to_string(total);
    size_t offset = 0;
    for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
        text += types[i] + std::to_string(offset);
        offset += sizes[i];
    }
    return text;
}

template <class T>
struct Argument {
    static T read(const Invocation& inv, size_t index) { return inv.get<T>(index); }
};

template <class T>
    requires std::is_base_of_v<Object, T>
struct Argument<T*> {
    static T* read(const Invocation& inv, size_t index) {
        auto* object = inv.get<Object*>(index);
        if (!object) return nullptr;
        if (auto* t = dynamic_cast<T*>(object)) return t;
        throw PlatformException("NSInvalidArgumentException", inv.method_name() + ": argument " +
                                                                  std::to_string(index - 1) + " cannot be an " +
                                                                  object->class_name());
    }
};

template <class T>
struct Result {
    static void write(Invocation& inv, T value) { inv.set_result(value); }
};

template <class T>
struct Result<Ref<T>> {
    static void write(Invocation& inv, Ref<T> value) { inv.set_result_object(Ref<Object>(std::move(value))); }
};

template <class T>
    requires std::is_base_of_v<Object, T>
struct Result<T*> {
    static void write(Invocation& inv, T* value) { inv.set_result_object(Ref<Object>::retain(value)); }
};

template <class Self>
Self& receiver_as(Invocation& inv) {
    if (auto* self = dynamic_cast<Self*>(inv.receiver())) return *self;
    throw PlatformException("NSInvalidArgumentException",
                            inv.method_name() + ": unrecognized selector sent to instance");
}

}  // namespace typed

// An instance method: the function takes the receiver (a pointer to its C++ class) and then the arguments.
template <class R, class Self, class... Args>
Method instance_method(std::string selector, R (*f)(Self*, Args...)) {
    std::string encoding = typed::encoding_of<R, Args...>();
    return make_method(std::move(selector), std::move(encoding), [f](Invocation& inv) {
        Self* self = &typed::receiver_as<Self>(inv);
        [&]<size_t... I>(std::index_sequence<I...>) {
            if constexpr (std::is_void_v<R>)
                f(self, typed::Argument<Args>::read(inv, I + 2)...);
            else
                typed::Result<R>::write(inv, f(self, typed::Argument<Args>::read(inv, I + 2)...));
        }(std::index_sequence_for<Args...>{});
    });
}

// A class method: the function takes the receiving class (a subclass, when inherited) and then the arguments.
template <class R, class... Args>
Method class_method(std::string selector, R (*f)(const Class&, Args...)) {
    std::string encoding = typed::encoding_of<R, Args...>();
    return make_method(std::move(selector), std::move(encoding), [f](Invocation& inv) {
        const Class& cls = *inv.receiver_class();
        [&]<size_t... I>(std::index_sequence<I...>) {
            if constexpr (std::is_void_v<R>)
                f(cls, typed::Argument<Args>::read(inv, I + 2)...);
            else
                typed::Result<R>::write(inv, f(cls, typed::Argument<Args>::read(inv, I + 2)...));
        }(std::index_sequence_for<Args...>{});
    });
}

}  // namespace omb
