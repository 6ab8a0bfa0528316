// The object bridge's Scheme names (objc:make ... objc:string->nsdata) and the object bound to
// *ombrel-objc-bridge*. Conversions of arguments and results: native/objc_convert.h.
//
// Ownership: an objc cell owns exactly one reference to its object, released when the cell is collected (while
// objc:gc is on) or at once by objc:destroy, which also empties the cell so that it reads as nil from then on:
// no cell ever points at an object it does not hold. Addresses that come back as text are checked against the
// objects whose addresses were given out and that are alive now before they are trusted.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "native/native_scheme.h"
#include "native/objc_bridge.h"
#include "native/objc_convert.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "platform/objects/runtime.h"

namespace omb {

namespace {

constexpr const char* NOT_OBJC = "Bad arguments: not of type objc";
constexpr const char* BAD_SIGNATURE = "bad method signature for object";

pointer arg(scheme* sc, pointer args, int n) {
    for (; n > 0 && is_pair(args); --n) args = pair_cdr(args);
    return is_pair(args) ? pair_car(args) : sc->NIL;
}

pointer rest(pointer args, int n) {
    for (; n > 0 && is_pair(args); --n) args = pair_cdr(args);
    return args;
}

// A Scheme string's characters, all of them (a string may hold a NUL).
std::string text_of(pointer s) {
    return std::string(string_value(s), static_cast<size_t>(s->_object._string._length));
}

pointer text_cell(scheme* sc, const std::string& s) {
    return mk_counted_string(sc, s.data(), static_cast<int>(s.size()));
}

pointer objc_cell(scheme* sc, Ref<Object> o) { return mk_objc(sc, o.release()); }

pointer refuse(scheme* sc, const char* message) {
    CPPBridge::error_text(message);
    return sc->F;
}

std::string description_of(const Object* o) { return o ? o->description() : "(null)"; }

// ---- messages ------------------------------------------------------------------------------------------------

// (objc:call target selector arg ...): the target an objc cell (instance methods) or a class name (class methods).
pointer callObjCMethod(scheme* sc, pointer args) {
    pointer target = arg(sc, args, 0), selector = arg(sc, args, 1);
    Object* receiver = nullptr;  // the target's cell holds it for the call
    const Class* cls = nullptr;
    const Method* method = nullptr;
    if (is_string(target)) {
        cls = runtime::find_class(string_value(target));
        if (cls && is_string(selector)) method = cls->class_method(string_value(selector));
    } else if (is_objc(target)) {
        receiver = objc_value(target);
        cls = runtime::class_of(receiver);
        if (cls && is_string(selector)) method = cls->instance_method(string_value(selector));
    } else {
        devlog("objc:call: the target is neither an objc object nor a class name");
        return refuse(sc, NOT_OBJC);
    }
    if (!method) return refuse(sc, BAD_SIGNATURE);
    Invocation invocation(*method, receiver, cls);
    if (!set_arguments(sc, invocation, rest(args, 2), ArgumentRules::call)) return sc->F;
    return invoke_for_scheme(sc, invocation);
}

// (objc:make class-name initialiser arg ...): "alloc", then the initialiser.
pointer makeObjCObject(scheme* sc, pointer args) {
    pointer name = arg(sc, args, 0), selector = arg(sc, args, 1);
    if (!is_string(name) || !is_string(selector))
        return refuse(sc, "Bad arguments: objc:make takes a class name, an initialiser and its arguments");
    const Class* cls = runtime::find_class(string_value(name));
    if (!cls) return refuse(sc, BAD_SIGNATURE);
    Ref<Object> allocated;
    Invocation alloc(*cls->class_method("alloc"), nullptr, cls);  // every class inherits "alloc" from the root
    try {
        alloc.invoke();
        allocated = alloc.take_result_object();
    } catch (const std::exception& e) {
        return refuse(sc, e.what());
    }
    const Class* instance_class = runtime::class_of(allocated.get());
    const Method* init = instance_class ? instance_class->instance_method(string_value(selector)) : nullptr;
    if (!init || init->signature.result.code != '@') return refuse(sc, BAD_SIGNATURE);
    Invocation invocation(*init, allocated.get(), instance_class);
    if (!set_arguments(sc, invocation, rest(args, 2), ArgumentRules::make)) return sc->F;
    return invoke_for_scheme(sc, invocation);
}

pointer isKindOfClass(scheme* sc, pointer args) {
    pointer name = arg(sc, args, 0), object = arg(sc, args, 1);
    if (!is_string(name) || !is_objc(object)) return sc->F;
    const Class* cls = runtime::class_of(objc_value(object));
    return cls && cls->is_kind_of(std::string_view(string_value(name))) ? sc->T : sc->F;
}

// ---- objects and their cells -----------------------------------------------------------------------------------

pointer isObjCNIL(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    return is_objc(x) && objc_value(x) == nullptr ? sc->T : sc->F;
}

pointer printObjCObject(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_objc(x)) return sc->F;
    CPPBridge::notification_text(description_of(objc_value(x)));
    return sc->T;
}

// Lets go of the cell's reference now and empties the cell, which reads as nil from then on.
pointer destroyObjCObject(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_objc(x)) return refuse(sc, NOT_OBJC);
    if (Object* o = objc_value(x)) {
        x->_object._cptr = nullptr;
        o->release();
    }
    return sc->T;
}

pointer objcGC(scheme* sc, pointer args) {
    if (is_pair(args)) OBJC_GC = pair_car(args) == sc->T;
    return OBJC_GC ? sc->T : sc->F;
}

pointer objCGetAddress(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_objc(x)) return refuse(sc, NOT_OBJC);
    Object* o = objc_value(x);
    return mk_string(sc, o ? o->address_text().c_str() : "(nil)");
}

// Only an object whose address was given out and that is alive now comes back, with a reference of its own for the
// new cell.
pointer objCFromAddress(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_string(x)) return refuse(sc, "objc:from-address takes an address as objc:get-address gives it");
    const std::string text = text_of(x);
    if (text == "(nil)") return mk_objc(sc, nullptr);
    char* end = nullptr;
    errno = 0;
    const unsigned long long address = std::strtoull(text.c_str(), &end, 16);
    if (text.empty() || errno != 0 || *end != '\0' || text.find('-') != std::string::npos) {
        CPPBridge::error("objc:from-address: not an address: %s", text.c_str());
        return sc->F;
    }
    if (address == 0) return mk_objc(sc, nullptr);
    Object* o = Object::retain_live(static_cast<std::uintptr_t>(address));
    if (!o) {
        CPPBridge::error("objc:from-address: no object lives at %s", text.c_str());
        return sc->F;
    }
    return mk_objc(sc, o);
}

// ---- conversions -----------------------------------------------------------------------------------------------

pointer numberToNSNumber(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_number(x)) return refuse(sc, "objc:number->nsnumber takes a number");
    return objc_cell(sc, NSNumber::real(rvalue(x)));
}

pointer stringToNSString(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_string(x)) return refuse(sc, "objc:string->nsstring takes a string");
    return objc_cell(sc, make_object<NSString>(text_of(x)));
}

pointer string2Data(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_string(x)) return refuse(sc, "objc:string->nsdata takes a string");
    const std::string bytes = text_of(x);
    return objc_cell(sc, make_object<NSData>(bytes.data(), bytes.size()));
}

pointer NSNumberToNumber(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_objc(x) || !objc_value(x)) return sc->NIL;
    Object* o = objc_value(x);
    if (auto* n = dynamic_cast<NSNumber*>(o)) return mk_real(sc, n->double_value());
    if (auto* s = dynamic_cast<NSString*>(o)) return mk_real(sc, s->double_value());
    CPPBridge::error("objc:nsnumber->number: not a number: %s", o->class_name().c_str());
    return sc->F;
}

pointer NSStringToString(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_objc(x)) return sc->NIL;
    return text_cell(sc, description_of(objc_value(x)));
}

pointer listToNSArray(scheme* sc, pointer args) {
    pointer list = arg(sc, args, 0);
    if (list != sc->NIL && (!is_pair(list) || list_length(sc, list) < 0))
        return refuse(sc, "objc:list->nsarray takes a list");
    auto array = make_object<NSMutableArray>();
    for (pointer p = list; is_pair(p); p = pair_cdr(p)) {
        pointer x = pair_car(p);
        if (is_objc(x) && objc_value(x)) {
            array->add(Ref<Object>::retain(objc_value(x)));
        } else if (is_string(x)) {
            array->add(make_object<NSString>(text_of(x)));
        } else if (is_integer(x)) {
            array->add(NSNumber::integer(ivalue(x)));
        } else if (is_number(x)) {
            array->add(NSNumber::real(rvalue(x)));
        } else if (is_symbol(x)) {
            array->add(make_object<NSString>(symname(x)));
        } else {
            devlog("objc:list->nsarray: an element of another type is left out");
            CPPBridge::error_text("Error. Bad Type In List.  OBJC, String, Number and Symbol elements only");
        }
    }
    return objc_cell(sc, std::move(array));
}

pointer NSArrayToList(scheme* sc, pointer args) {
    pointer x = arg(sc, args, 0);
    if (!is_objc(x) || !objc_value(x)) return sc->NIL;
    // Held while the list is made: collections on the way release other cells' objects.
    auto array = Ref<Object>::retain(objc_value(x));
    const auto* items = dynamic_cast<const NSArray*>(array.get());
    if (!items) {
        CPPBridge::error("objc:nsarray->list: not an array: %s", array->class_name().c_str());
        return sc->NIL;
    }
    SchemeListBuilder list(sc);
    for (size_t i = items->count(); i-- > 0;) {
        Object* o = items->at(i);
        if (auto* s = dynamic_cast<NSString*>(o))
            list.push_front(text_cell(sc, s->utf8()));
        else if (auto* n = dynamic_cast<NSNumber*>(o))
            list.push_front(mk_real(sc, n->double_value()));
        else
            list.push_front(mk_objc(sc, Ref<Object>::retain(o).release()));
    }
    return list.take();
}

pointer objCValueFromDictionary(scheme* sc, pointer args) {
    pointer dictionary = arg(sc, args, 0), key = arg(sc, args, 1);
    const auto* d = is_objc(dictionary) ? dynamic_cast<const NSDictionary*>(objc_value(dictionary)) : nullptr;
    if (!d) return refuse(sc, "Argument one must be an NSDictionary");
    Object* value = nullptr;
    if (is_string(key))
        value = d->object_for_key(text_of(key));
    else if (is_objc(key))
        value = d->object_for_key(static_cast<const Object*>(objc_value(key)));
    else
        return refuse(sc, "Argument two must be a string or objc");
    return objc_cell(sc, Ref<Object>::retain(value));
}

constexpr NativeProcedure OBJECT_BRIDGE[] = {
    {"objc:make", makeObjCObject},
    {"objc:null?", isObjCNIL},
    {"objc:print", printObjCObject},
    {"objc:number->nsnumber", numberToNSNumber},
    {"objc:string->nsstring", stringToNSString},
    {"objc:nsnumber->number", NSNumberToNumber},
    {"objc:objc->string", NSStringToString},
    {"objc:nsstring->string", NSStringToString},
    {"objc:list->nsarray", listToNSArray},
    {"objc:nsarray->list", NSArrayToList},
    {"objc:destroy", destroyObjCObject},
    {"objc:call", callObjCMethod},
    {"objc:iskind?", isKindOfClass},
    {"objc:gc", objcGC},
    {"objc:from-address", objCFromAddress},
    {"objc:get-address", objCGetAddress},
    {"objc:object-for-key", objCValueFromDictionary},
    {"objc:string->nsdata", string2Data},
};

}  // namespace

NativeTable object_bridge_procedures() { return OBJECT_BRIDGE; }

Object* objc_bridge_object() {
    OBJCBridge::register_classes();
    OBJCBridge& bridge = OBJCBridge::instance();
    bridge.retain();
    return &bridge;
}

}  // namespace omb
