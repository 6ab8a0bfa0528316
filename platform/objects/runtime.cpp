#include "platform/objects/runtime.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>

#include "platform/exception.h"

namespace omb {

// foundation_methods.cpp: NSObject and the foundation classes, root first.
std::vector<ClassDefinition> foundation_class_definitions();

namespace {

size_t align_up(size_t n, size_t a) { return (n + a - 1) / a * a; }

}  // namespace

Method make_method(std::string selector, std::string encoding, MethodBody body) {
    std::string why;
    auto signature = parse_signature(encoding, &why);
    if (!signature) throw std::invalid_argument("method " + selector + ": encoding " + encoding + ": " + why);
    Method m;
    m.selector = std::move(selector);
    m.encoding = std::move(encoding);
    m.signature = std::move(*signature);
    m.body = std::move(body);
    size_t end = 0;
    for (const EncodedType& t : m.signature.arguments) {
        m.offsets.push_back(align_up(end, t.align));
        end = m.offsets.back() + t.size;
    }
    m.result_offset = align_up(end, 8);
    m.buffer_size = m.result_offset + m.signature.result.size;
    return m;
}

bool Class::is_kind_of(const Class* other) const {
    for (const Class* c = this; c; c = c->superclass_)
        if (c == other) return true;
    return false;
}

bool Class::is_kind_of(std::string_view other_name) const {
    for (const Class* c = this; c; c = c->superclass_)
        if (c->name_ == other_name) return true;
    return false;
}

const Method* Class::instance_method(std::string_view selector) const {
    for (const Class* c = this; c; c = c->superclass_)
        if (auto it = c->instance_methods_.find(selector); it != c->instance_methods_.end()) return &it->second;
    return nullptr;
}

const Method* Class::class_method(std::string_view selector) const {
    for (const Class* c = this; c; c = c->superclass_)
        if (auto it = c->class_methods_.find(selector); it != c->class_methods_.end()) return &it->second;
    return nullptr;
}

Ref<Object> Class::allocate() const {
    if (!allocate_)
        throw PlatformException("NSInvalidArgumentException",
                                "+[" + name_ + " alloc]: " + name_ + " objects are not made with alloc");
    return allocate_();
}

// The classes by name. Made, with the foundation classes in it, on first use; never destroyed, so objects
// released during static destruction still find their classes.
class ClassRegistry {
public:
    static ClassRegistry& instance() {
        static auto* registry = new ClassRegistry;
        return *registry;
    }

    const Class* add(ClassDefinition d) {
        std::unique_lock lock(mutex_);
        if (classes_.count(d.name)) throw std::logic_error("class " + d.name + " is already registered");
        const Class* super = nullptr;
        if (!d.superclass.empty()) {
            auto it = classes_.find(d.superclass);
            if (it == classes_.end())
                throw std::logic_error("class " + d.name + ": unknown superclass " + d.superclass);
            super = it->second.get();
        }
        auto c = std::make_unique<Class>();
        c->name_ = d.name;
        c->superclass_ = super;
        c->allocate_ = std::move(d.allocate);
        for (Method& m : d.class_methods) c->class_methods_.insert_or_assign(m.selector, std::move(m));
        for (Method& m : d.instance_methods) c->instance_methods_.insert_or_assign(m.selector, std::move(m));
        const Class* added = c.get();
        classes_.emplace(d.name, std::move(c));
        if (!super && !root_) root_ = added;
        return added;
    }

    const Class* find(std::string_view name) const {
        std::shared_lock lock(mutex_);
        auto it = classes_.find(name);
        return it == classes_.end() ? nullptr : it->second.get();
    }

    const Class* root() const { return root_; }

    std::vector<const Class*> all() const {
        std::shared_lock lock(mutex_);
        std::vector<const Class*> out;
        for (const auto& [name, c] : classes_) out.push_back(c.get());
        return out;
    }

private:
    ClassRegistry() {
        for (ClassDefinition& d : foundation_class_definitions()) add(std::move(d));
    }

    mutable std::shared_mutex mutex_;
    std::map<std::string, std::unique_ptr<Class>, std::less<>> classes_;
    const Class* root_ = nullptr;  // set once, while the registry is made
};

namespace runtime {

const Class* register_class(ClassDefinition definition) { return ClassRegistry::instance().add(std::move(definition)); }

const Class* find_class(std::string_view name) { return ClassRegistry::instance().find(name); }

const Class* class_of(const Object* object) {
    if (!object) return nullptr;
    const Class* c = ClassRegistry::instance().find(object->class_name());
    return c ? c : ClassRegistry::instance().root();
}

std::vector<const Class*> classes() { return ClassRegistry::instance().all(); }

}  // namespace runtime

Invocation::Invocation(const Method& method, Object* receiver, const Class* cls)
    : method_(method), receiver_(receiver), class_(cls), buffer_((method.buffer_size + 7) / 8, 0) {
    std::memcpy(argument(0), &receiver_, sizeof receiver_);
    const char* selector = method_.selector.c_str();
    std::memcpy(argument(1), &selector, sizeof selector);
}

void Invocation::set_object(size_t index, Object* object) {
    check_size(index, sizeof object);
    if (object) kept_.push_back(Ref<Object>::retain(object));
    std::memcpy(argument(index), &object, sizeof object);
}

void Invocation::set_text(size_t index, std::string text) {
    check_size(index, sizeof(const char*));
    const char* chars = texts_.emplace_back(std::move(text)).c_str();
    std::memcpy(argument(index), &chars, sizeof chars);
}

void Invocation::invoke() {
    result_object_ = {};
    std::fill(data() + method_.result_offset, data() + method_.buffer_size, std::byte{0});
    method_.body(*this);
}

Ref<Object> Invocation::take_result_object() {
    Object* none = nullptr;
    if (method_.signature.result.code == '@') std::memcpy(data() + method_.result_offset, &none, sizeof none);
    return std::move(result_object_);
}

void Invocation::set_result_object(Ref<Object> object) {
    check_result_size(sizeof(Object*));
    Object* raw = object.get();
    std::memcpy(data() + method_.result_offset, &raw, sizeof raw);
    result_object_ = std::move(object);
}

std::string Invocation::method_name() const {
    const std::string name = class_ ? class_->name() : std::string("?");
    return std::string(receiver_ ? "-[" : "+[") + name + " " + method_.selector + "]";
}

void Invocation::check_size(size_t index, size_t size) const {
    if (argument_type(index).size != size)
        throw std::logic_error(method_name() + ": argument " + std::to_string(index) + " read as " +
                               std::to_string(size) + " bytes, encoded as " + argument_type(index).text);
}

void Invocation::check_result_size(size_t size) const {
    if (method_.signature.result.size != size)
        throw std::logic_error(method_name() + ": result written as " + std::to_string(size) + " bytes, encoded as " +
                               method_.signature.result.text);
}

}  // namespace omb
