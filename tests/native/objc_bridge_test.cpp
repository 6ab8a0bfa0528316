// The object bridge through a running process: messages to every foundation class with each kind of argument,
// structures in and out, the refusals and their messages, exceptions as errors, ownership of objects by cells
// (destroy, the collector, the objc:gc switch, addresses that come back as text), and the bridge object calling
// Scheme by name and by control action.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "graphics/graphic_engine.h"
#include "io/midi_file_scheme.h"
#include "io/midi_router.h"
#include "io/osc.h"
#include "io/osc_scheme.h"
#include "native/native_scheme.h"
#include "native/objc_bridge.h"
#include "platform/objects/runtime.h"
#include "platform/objects/typed_methods.h"
#include "tests/runtime/process_support.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

using namespace test;

// Values a process hands to "test:record", as text: what the primary process's objc:action receives.
struct Recorded {
    std::mutex mutex;
    std::vector<std::string> values;
    void add(std::string v) {
        std::lock_guard lock(mutex);
        values.push_back(std::move(v));
    }
    bool has(const std::string& v) {
        std::lock_guard lock(mutex);
        return std::find(values.begin(), values.end(), v) != values.end();
    }
};
Recorded recorded;

std::string as_text(scheme* sc, pointer x) {
    if (is_string(x)) return std::string("\"") + string_value(x) + "\"";
    if (is_integer(x)) return std::to_string(ivalue(x));
    if (is_number(x)) return std::to_string(rvalue(x));
    if (x == sc->T) return "#t";
    if (x == sc->F) return "#f";
    return "?";
}

void record_init(SchemeInterface* process) {
    process->addForeignFunc("test:record", [](scheme* sc, pointer args) -> pointer {
        std::string line;
        for (pointer p = args; is_pair(p); p = pair_cdr(p))
            line += (line.empty() ? "" : " ") + as_text(sc, pair_car(p));
        recorded.add(line);
        return sc->T;
    });
}

// Methods published with hand-written encodings, for the codes no foundation method uses: each returns its
// argument as it arrived.
Method echo(const char* selector, const char* encoding) {
    return make_method(selector, encoding, [](Invocation& inv) {
        std::memcpy(const_cast<void*>(inv.result()), inv.argument(2), inv.argument_type(2).size);
    });
}

struct TestEcho : Object {
    std::string class_name() const override { return "OMBTestEcho"; }
};

void register_test_class() {
    runtime::register_class(
        {"OMBTestEcho", "NSObject", [] { return Ref<Object>(make_object<TestEcho>()); },
         {},
         {echo("long:", "l24@0:8l16"), echo("unsignedLong:", "L24@0:8L16"), echo("unsignedChar:", "C24@0:8C16"),
          echo("unsignedShort:", "S24@0:8S16"), echo("short:", "s24@0:8s16"), echo("unsignedInt:", "I24@0:8I16"),
          echo("pointer:", "^v24@0:8^v16"), echo("chars:", "*24@0:8*16"),
          echo("range:", "{_NSRange=QQ}32@0:8{_NSRange=QQ}16"),
          echo("cgSize:", "{CGSize=dd}32@0:8{CGSize=dd}16"),
          make_method("union", "(Both=if)16@0:8", [](Invocation&) {}),
          make_method("selector", ":16@0:8", [](Invocation&) {}),
          make_method("fail", "v16@0:8", [](Invocation&) { throw std::runtime_error("a native failure"); }),
          make_method("notAStructure:", "v24@0:8{Other=ii}16", [](Invocation&) {})}});
}

class ObjcEnvironment : public ProcessEnvironment {
public:
    void SetUp() override {
        MIDIRouter::SYSTEM = "none";
        OSC::PORT = 0;
        register_test_class();
        add_native_library(MIDIRouter::schemeInit);
        add_native_library(midi_file_scheme_init);
        add_native_library(osc_scheme_init);
        add_native_library(GraphicEngine::schemeInit);
        add_native_library(NativeScheme::schemeInit);
        add_native_library(record_init);
        ProcessEnvironment::SetUp();
    }
};

const auto* environment = ::testing::AddGlobalTestEnvironment(new ObjcEnvironment);

class ObjcBridge : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(c.ok());
        ASSERT_TRUE(c.greet());
    }
    std::string ev(const std::string& text) { return c.eval(text); }
    bool error(const std::string& text) { return log.saw(log.errors, text, 2s); }
    LogCapture log;
    Conn c{ProcessEnvironment::port};
};

TEST_F(ObjcBridge, StringsWithEveryArgumentKind) {
    ev("(define s (objc:make \"NSString\" \"initWithString:\" \"h\u00e9llo\"))");
    EXPECT_EQ(ev("(objc:iskind? \"NSString\" s)"), "#t");
    EXPECT_EQ(ev("(objc:call s \"length\")"), "5") << "characters, not bytes";
    EXPECT_EQ(ev("(objc:call s \"UTF8String\")"), "\"h\u00e9llo\"");
    EXPECT_EQ(ev("(objc:nsstring->string (objc:call s \"stringByAppendingString:\" \" world\"))"),
              "\"h\u00e9llo world\"");
    EXPECT_EQ(ev("(objc:objc->string (objc:call s \"stringByAppendingString:\" (objc:string->nsstring \"!\")))"),
              "\"h\u00e9llo!\"");
    EXPECT_EQ(ev("(objc:call s \"isEqualToString:\" \"h\u00e9llo\")"), "#t");
    EXPECT_EQ(ev("(objc:call s \"isEqualToString:\" \"hello\")"), "#f");
    EXPECT_EQ(ev("(objc:nsstring->string (objc:call s \"substringWithRange:\" '(1 3)))"), "\"\u00e9ll\"");
    EXPECT_EQ(ev("(objc:nsstring->string (objc:call s \"substringWithRange:\" '(1.0 0)))"), "\"\"")
        << "a range read back as reals goes in again";
    EXPECT_EQ(ev("(objc:call s \"rangeOfString:\" \"ll\")"), "(2 2)");
    EXPECT_EQ(ev("(map exact? (objc:call s \"rangeOfString:\" \"ll\"))"), "(#f #f)") << "ranges come back as reals";
    EXPECT_EQ(ev("(objc:nsstring->string (objc:call \"NSString\" \"stringWithUTF8String:\" \"plain\"))"),
              "\"plain\"");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSString\" \"stringWithString:\" \" -12abc\") \"intValue\")"), "-12");
    EXPECT_EQ(ev("(objc:call (objc:string->nsstring \"2.5e1x\") \"doubleValue\")"), "25");
    EXPECT_EQ(ev("(objc:nsarray->list (objc:call (objc:string->nsstring \"a,b,,c\") "
                 "\"componentsSeparatedByString:\" \",\"))"),
              "(\"a\" \"b\" \"\" \"c\")");
    EXPECT_EQ(ev("(objc:nsnumber->number (objc:string->nsstring \"0.25\"))"), "0.25");
    EXPECT_EQ(ev("(objc:nsstring->string 5)"), "NIL");

    EXPECT_EQ(ev("(objc:call s \"substringWithRange:\" '(4 2))"), "#f");
    EXPECT_TRUE(error("-[NSString substringWithRange:]: Range {4, 2} out of bounds; string length 5"));
    EXPECT_EQ(ev("(objc:call s \"substringWithRange:\" '(1.5 2))"), "#f");
    EXPECT_TRUE(error("Bad ObjC Argument: arg0: {_NSRange=QQ}"));
    EXPECT_EQ(ev("(objc:call s \"substringWithRange:\" '(-1 2))"), "#f") << "a negative location is no range";
    EXPECT_EQ(ev("(objc:call s \"stringByAppendingString:\" 0)"), "#f");
    EXPECT_TRUE(error("*** -[NSString stringByAppendingString:]: nil argument"));
    EXPECT_EQ(ev("(objc:call s \"stringByAppendingString:\" (objc:number->nsnumber 1))"), "#f");
    EXPECT_TRUE(error("-[NSString stringByAppendingString:]: argument 1 cannot be an NSNumber"));
}

TEST_F(ObjcBridge, NumbersOfEachSize) {
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithInt:\" -42) \"intValue\")"), "-42");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithUnsignedInt:\" 4000000000) \"longLongValue\")"),
              "4000000000");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithShort:\" 70000) \"intValue\")"), "4464")
        << "integers are cut to the width of their position";
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithUnsignedChar:\" 300) \"intValue\")"), "44");
    EXPECT_EQ(ev("(char->integer (objc:call (objc:call \"NSNumber\" \"numberWithChar:\" 65) \"charValue\"))"), "65")
        << "a char result is a character";
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithLongLong:\" 1099511627776) \"longLongValue\")"),
              "1099511627776");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithDouble:\" 0.1) \"doubleValue\")"), "0.1");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithDouble:\" 3) \"doubleValue\")"), "3")
        << "an integer where a real is wanted";
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithFloat:\" 1/4) \"floatValue\")"), "0.25");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithBool:\" #t) \"boolValue\")"), "#t");
    EXPECT_EQ(ev("(objc:call (objc:make \"NSNumber\" \"initWithDouble:\" 2.5) \"doubleValue\")"), "2.5");
    EXPECT_EQ(ev("(objc:nsnumber->number (objc:number->nsnumber 7))"), "7");
    EXPECT_EQ(ev("(exact? (objc:nsnumber->number (objc:number->nsnumber 7)))"), "#f");
    EXPECT_EQ(ev("(objc:nsnumber->number \"7\")"), "NIL");

    EXPECT_EQ(ev("(objc:call \"NSNumber\" \"numberWithInt:\" #t)"), "#f");
    EXPECT_TRUE(error("Bad boolean argument: wrong type or wrong argument position"));
    EXPECT_EQ(ev("(objc:call \"NSNumber\" \"numberWithInt:\" 1.5)"), "#f");
    EXPECT_TRUE(error("Bad real argument: wrong type or wrong argument position"));
    EXPECT_EQ(ev("(objc:call \"NSNumber\" \"numberWithInt:\" \"1\")"), "#f");
    EXPECT_TRUE(error("Bad string argument: wrong type or wrong argument position"));
    EXPECT_EQ(ev("(objc:call \"NSNumber\" \"numberWithInt:\" (objc:number->nsnumber 1))"), "#f");
    EXPECT_TRUE(error("Bad objc argument: wrong type or wrong argument position"));
    EXPECT_EQ(ev("(objc:call \"NSNumber\" \"numberWithBool:\" 1)"), "#f");
    EXPECT_TRUE(error("Bad integer argument: wrong type or wrong argument position"));
    EXPECT_EQ(ev("(objc:call \"NSNumber\" \"numberWithInt:\" '(1 2))"), "#f");
    EXPECT_TRUE(error("Bad ObjC Argument: arg0: i"));
    EXPECT_EQ(ev("(objc:make \"NSNumber\" \"initWithInt:\" '(1 2))"), "#f");
    EXPECT_TRUE(error("Bad list argument: wrong type or wrong argument position"));
    // Values of no kind the bridge takes set nothing: the position stays 0.
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithInt:\" 'sym) \"intValue\")"), "0");
}

TEST_F(ObjcBridge, EveryIntegerCodeAndPointersRoundTrip) {
    ev("(define e (objc:make \"OMBTestEcho\" \"init\"))");
    EXPECT_EQ(ev("(objc:call e \"long:\" -5)"), "-5");
    EXPECT_EQ(ev("(objc:call e \"unsignedLong:\" -1)"), "4294967295");
    EXPECT_EQ(ev("(objc:call e \"unsignedChar:\" 255)"), "255");
    EXPECT_EQ(ev("(objc:call e \"unsignedShort:\" 65535)"), "65535");
    EXPECT_EQ(ev("(objc:call e \"short:\" -300)"), "-300");
    EXPECT_EQ(ev("(objc:call e \"unsignedInt:\" 4294967295)"), "4294967295");
    EXPECT_EQ(ev("(objc:call e \"range:\" '(3 4))"), "(3 4)");
    EXPECT_EQ(ev("(objc:call e \"cgSize:\" '(0.1 2))"), "(0.1 2)") << "CG structures carry doubles";
    EXPECT_EQ(ev("(cptr? (objc:call e \"pointer:\" 0))"), "#t");
    EXPECT_EQ(ev("(objc:call e \"chars:\" \"text\")"), "\"text\"");
    EXPECT_EQ(ev("(objc:call e \"chars:\" 0)"), "#f");
    EXPECT_TRUE(error("Bad integer argument"));
    // A pointer round trip: the bytes of a data object ("abc" and a terminator), boxed and unboxed.
    ev("(define d (objc:call \"NSMutableData\" \"dataWithData:\" (objc:string->nsdata \"abc\")))");
    ev("(objc:call d \"appendData:\" (objc:call \"NSMutableData\" \"dataWithLength:\" 1))");
    ev("(define p (objc:call d \"bytes\"))");
    EXPECT_EQ(ev("(cptr? p)"), "#t");
    EXPECT_EQ(ev("(cptr? (objc:call (objc:call \"NSValue\" \"valueWithPointer:\" p) \"pointerValue\"))"), "#t");
    EXPECT_EQ(ev("(objc:call e \"chars:\" p)"), "\"abc\"") << "a cptr where characters go";
    EXPECT_EQ(ev("(objc:make \"NSString\" \"initWithUTF8String:\" p)"), "#f") << "but not when making an object";
    EXPECT_TRUE(error("Bad cptr argument: wrong type or wrong argument position"));
    EXPECT_EQ(ev("(objc:call e \"notAStructure:\" '(1 2))"), "#f");
    EXPECT_TRUE(error("Bad ObjC Argument: arg0: {Other=ii}"));
}

TEST_F(ObjcBridge, UnknownReturnTypesAreWrittenOutAndGiveFalse) {
    ev("(define e (objc:make \"OMBTestEcho\" \"init\"))");
    ::testing::internal::CaptureStdout();
    const std::string union_result = ev("(objc:call e \"union\")");
    const std::string selector_result = ev("(objc:call e \"selector\")");
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(union_result, "#f");
    EXPECT_EQ(selector_result, "#f");
    EXPECT_NE(out.find("unkonwn obj-c return type (Both=if)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("unkonwn obj-c return type :\n"), std::string::npos) << out;
}

TEST_F(ObjcBridge, ArraysBothWays) {
    ev("(define a (objc:list->nsarray (list \"s\" 1 2.5 'sym (objc:number->nsnumber 3) (vector 1) 1099511627776)))");
    EXPECT_TRUE(error("Error. Bad Type In List.  OBJC, String, Number and Symbol elements only"));
    EXPECT_EQ(ev("(objc:call a \"count\")"), "6") << "the vector is left out, the rest kept";
    EXPECT_EQ(ev("(equal? (objc:nsarray->list a) '(\"s\" 1 2.5 \"sym\" 3 1099511627776))"), "#t")
        << "integers keep all 64 bits";
    EXPECT_EQ(ev("(map exact? (cdr (objc:nsarray->list a)))"), "(#f #f #f #f #f)");
    EXPECT_EQ(ev("(objc:iskind? \"NSMutableArray\" a)"), "#t");
    EXPECT_EQ(ev("(objc:call a \"containsObject:\" \"sym\")"), "#t");
    EXPECT_EQ(ev("(objc:call a \"containsObject:\" 0)"), "#f") << "0 passes nil";
    EXPECT_EQ(ev("(objc:call a \"containsObject:\" 5)"), "#f");
    EXPECT_TRUE(error("Bad integer argument")) << "any other integer is refused where an object goes";
    EXPECT_EQ(ev("(objc:call a \"addObject:\" (objc:make \"NSMutableArray\" \"initWithCapacity:\" 4))"), "#t");
    EXPECT_EQ(ev("(objc:iskind? \"NSArray\" (objc:call a \"objectAtIndex:\" 6))"), "#t");
    EXPECT_EQ(ev("(objc:call a \"removeObjectAtIndex:\" 0)"), "#t");
    EXPECT_EQ(ev("(objc:call a \"count\")"), "6");
    EXPECT_EQ(ev("(objc:call a \"objectAtIndex:\" 9)"), "#f");
    EXPECT_TRUE(error("*** -[NSArray objectAtIndex:]: index 9 beyond bounds [0 .. 5]"));
    EXPECT_EQ(ev("(objc:call a \"addObject:\" 0)"), "#f");
    EXPECT_TRUE(error("*** -[NSMutableArray addObject:]: nil argument"));
    EXPECT_EQ(ev("(objc:call a \"removeObjectAtIndex:\" 100)"), "#f");

    ev("(define frozen (objc:call \"NSArray\" \"arrayWithArray:\" a))");
    EXPECT_EQ(ev("(objc:iskind? \"NSMutableArray\" frozen)"), "#f");
    EXPECT_EQ(ev("(objc:iskind? \"NSArray\" frozen)"), "#t");
    EXPECT_EQ(ev("(objc:iskind? \"NSMutableArray\" (objc:call \"NSMutableArray\" \"arrayWithArray:\" a))"), "#t")
        << "class methods make the class they are sent to";
    EXPECT_EQ(ev("(objc:call frozen \"addObject:\" \"x\")"), "#f");
    EXPECT_TRUE(error("bad method signature for object"));
    EXPECT_EQ(ev("(objc:call (objc:call \"NSArray\" \"array\") \"count\")"), "0");
    EXPECT_EQ(ev("(objc:nsarray->list (objc:string->nsstring \"x\"))"), "NIL");
    EXPECT_EQ(ev("(objc:list->nsarray 5)"), "#f");
}

TEST_F(ObjcBridge, DictionariesAndData) {
    ev("(define d (objc:call \"NSMutableDictionary\" \"dictionary\"))");
    EXPECT_EQ(ev("(objc:call d \"setObject:forKey:\" \"v\" \"k\")"), "#t");
    EXPECT_EQ(ev("(objc:call d \"setObject:forKey:\" (objc:number->nsnumber 2) (objc:number->nsnumber 1))"), "#t");
    EXPECT_EQ(ev("(objc:call d \"count\")"), "2");
    EXPECT_EQ(ev("(objc:nsstring->string (objc:object-for-key d \"k\"))"), "\"v\"");
    EXPECT_EQ(ev("(objc:nsnumber->number (objc:object-for-key d (objc:number->nsnumber 1)))"), "2");
    EXPECT_EQ(ev("(objc:null? (objc:object-for-key d \"missing\"))"), "#t");
    EXPECT_EQ(ev("(objc:nsstring->string (objc:call d \"objectForKey:\" \"k\"))"), "\"v\"");
    EXPECT_EQ(ev("(objc:nsarray->list (objc:call d \"allKeys\"))"), "(\"k\" 1)");
    EXPECT_EQ(ev("(objc:nsarray->list (objc:call d \"allValues\"))"), "(\"v\" 2)");
    EXPECT_EQ(ev("(objc:object-for-key (objc:string->nsstring \"no\") \"k\")"), "#f");
    EXPECT_TRUE(error("Argument one must be an NSDictionary"));
    EXPECT_EQ(ev("(objc:object-for-key d 'k)"), "#f");
    EXPECT_TRUE(error("Argument two must be a string or objc"));

    ev("(define bytes (objc:string->nsdata \"abc\"))");
    EXPECT_EQ(ev("(objc:call bytes \"length\")"), "3") << "no terminator";
    ev("(define m (objc:make \"NSMutableData\" \"initWithLength:\" 2))");
    EXPECT_EQ(ev("(objc:call m \"appendData:\" bytes)"), "#t");
    EXPECT_EQ(ev("(objc:call m \"appendData:\" m)"), "#t") << "appending data to itself";
    EXPECT_EQ(ev("(objc:nsstring->string m)"), "\"<00006162 63000061 6263>\"");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSData\" \"dataWithData:\" m) \"isEqualToData:\" m)"), "#t");
    EXPECT_EQ(ev("(objc:make \"NSMutableData\" \"initWithLength:\" 100000000000)"), "#f");
    EXPECT_TRUE(error("-[NSMutableData initWithLength:]: length 100000000000 is more than"));
}

TEST_F(ObjcBridge, StructuresInAndOut) {
    EXPECT_EQ(ev("(objc:call \"OMBGeometry\" \"rectWithX:y:width:height:\" 1 2 3.5 4)"), "(1 2 3.5 4)");
    EXPECT_EQ(ev("(objc:call \"OMBGeometry\" \"unionOfRect:andRect:\" '(0 0 1 1) '(2 3 1 1))"), "(0 0 3 4)")
        << "a list of four is x, y, width, height";
    EXPECT_EQ(ev("(objc:call \"OMBGeometry\" \"centerOfRect:\" '(0 0 3 1))"), "(1.5 0.5)");
    EXPECT_EQ(ev("(objc:call \"OMBGeometry\" \"containsPoint:inRect:\" '(1 1) '(0 0 2 2))"), "#t");
    EXPECT_EQ(ev("(objc:call \"OMBGeometry\" \"containsPoint:inRect:\" '(3 1) '(0 0 2 2))"), "#f");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSValue\" \"valueWithRect:\" '(1 2 3 4)) \"rectValue\")"), "(1 2 3 4)");
    EXPECT_EQ(ev("(objc:nsstring->string (objc:call \"NSValue\" \"valueWithRange:\" '(2 3)))"), "\"NSRange: {2, 3}\"");
    EXPECT_EQ(ev("(objc:call (objc:call \"NSValue\" \"valueWithPoint:\" '(1 2)) \"rectValue\")"), "#f");
    EXPECT_TRUE(error("-[NSValue rectValue]: the value holds something else"));

    EXPECT_EQ(ev("(objc:call \"OMBGeometry\" \"unionOfRect:andRect:\" '(0 0 1) '(2 3 1 1))"), "#f");
    EXPECT_TRUE(error("Bad ObjC Argument: arg0: {NSRect={NSPoint=ff}{NSSize=ff}}"));
    EXPECT_EQ(ev("(objc:call \"OMBGeometry\" \"unionOfRect:andRect:\" '(0 0 1 1) '(2 3 \"1\" 1))"), "#f");
    EXPECT_TRUE(error("Bad ObjC Argument: arg1: {NSRect={NSPoint=ff}{NSSize=ff}}"));
}

TEST_F(ObjcBridge, ArgumentCountsTargetsAndFailures) {
    EXPECT_EQ(ev("(objc:call (objc:call \"NSNumber\" \"numberWithInt:\" 1 2 3) \"intValue\")"), "1");
    EXPECT_TRUE(log.saw(log.notes, "too many arguments passed. ignoring additional arguments", 2s));
    // Fewer arguments than the method takes: the rest are nil.
    EXPECT_EQ(ev("(objc:call \"NSString\" \"stringWithString:\")"), "#f");
    EXPECT_TRUE(error("nil argument"));

    EXPECT_EQ(ev("(objc:call 5 \"count\")"), "#f");
    EXPECT_TRUE(error("Bad arguments: not of type objc"));
    log.clear();
    EXPECT_EQ(ev("(objc:call (objc:string->nsstring \"x\") \"noSuchSelector\")"), "#f");
    EXPECT_EQ(ev("(objc:call \"NoSuchClass\" \"alloc\")"), "#f");
    EXPECT_EQ(ev("(objc:make \"NoSuchClass\" \"init\")"), "#f");
    EXPECT_EQ(ev("(objc:make \"NSArray\" \"count\")"), "#f") << "an initialiser returns an object";
    EXPECT_EQ(ev("(objc:call \"NSString\" \"length\")"), "#f") << "instance methods are not sent to a class";
    log.flush();
    EXPECT_EQ(std::count(log.errors.begin(), log.errors.end(), ":ERROR: bad method signature for object\n"), 5);
    EXPECT_EQ(ev("(objc:make \"NSValue\" \"init\")"), "#f");
    EXPECT_TRUE(error("+[NSValue alloc]: NSValue objects are not made with alloc"));

    // An exception of another kind than the platform's is reported the same way; the process goes on.
    EXPECT_EQ(ev("(objc:call (objc:make \"OMBTestEcho\" \"init\") \"fail\")"), "#f");
    EXPECT_TRUE(error("a native failure"));
    EXPECT_EQ(ev("(+ 1 2)"), "3");
    EXPECT_EQ(ev("(objc:nsstring->string (objc:call \"NSArray\" \"description\"))"), "\"NSArray\"");
    EXPECT_EQ(ev("(objc:iskind? \"NSObject\" (objc:call \"NSMutableArray\" \"array\"))"), "#t");
    EXPECT_EQ(ev("(objc:iskind? \"NSMutableArray\" (objc:call \"NSArray\" \"array\"))"), "#f");
    EXPECT_EQ(ev("(objc:iskind? \"NSArray\" 5)"), "#f");
    EXPECT_EQ(ev("(objc:print (objc:string->nsstring \"shown\"))"), "#t");
    EXPECT_TRUE(log.saw(log.notes, "shown", 2s));
    EXPECT_EQ(ev("(objc:print 1)"), "#f");
}

TEST_F(ObjcBridge, CellsOwnOneReferenceAndDestroyEmptiesTheCell) {
    ev("(define s (objc:string->nsstring \"mine\"))");
    ev("(define same s)");
    EXPECT_EQ(ev("(objc:call s \"retainCount\")"), "1") << "one cell, one reference";
    ev("(define again (objc:from-address (objc:get-address s)))");
    EXPECT_EQ(ev("(objc:call s \"retainCount\")"), "2") << "a cell from an address holds its own";
    EXPECT_EQ(ev("(objc:nsstring->string again)"), "\"mine\"");
    EXPECT_EQ(ev("(objc:destroy s)"), "#t");
    EXPECT_EQ(ev("(objc:null? same)"), "#t") << "the destroyed cell reads nil everywhere it is held";
    EXPECT_EQ(ev("(objc:call again \"retainCount\")"), "1");
    EXPECT_EQ(ev("(objc:destroy same)"), "#t") << "destroying twice does nothing more";
    EXPECT_EQ(ev("(objc:call same \"length\")"), "#f");
    EXPECT_TRUE(error("bad method signature for object"));

    const std::string address = ev("(objc:get-address again)");
    ev("(objc:destroy again)");
    EXPECT_EQ(ev("(objc:from-address " + address + ")"), "#f") << "an address whose object is gone";
    EXPECT_TRUE(error("objc:from-address: no object lives at"));
    EXPECT_EQ(ev("(objc:from-address \"0x10\")"), "#f");
    EXPECT_EQ(ev("(objc:from-address \"zzz\")"), "#f");
    EXPECT_TRUE(error("objc:from-address: not an address: zzz"));
    EXPECT_EQ(ev("(objc:null? (objc:from-address \"(nil)\"))"), "#t");
    EXPECT_EQ(ev("(objc:destroy 5)"), "#f");
}

TEST_F(ObjcBridge, TheCollectorReleasesObjectsWhileGcIsOn) {
    auto make_many = [&] {
        ev("(define held (let loop ((i 0) (l '())) (if (= i 2000) l (loop (+ i 1) "
           "(cons (objc:string->nsstring \"x\") l)))))");
    };
    ev("(gc)");
    const size_t before = Object::live_count();
    make_many();
    EXPECT_GE(Object::live_count(), before + 2000);
    ev("(set! held #f)");
    ev("(gc)");
    EXPECT_LT(Object::live_count(), before + 20);

    EXPECT_EQ(ev("(objc:gc #f)"), "#f");
    EXPECT_EQ(ev("(objc:gc)"), "#f");
    make_many();
    ev("(define addresses (map objc:get-address held))");
    ev("(set! held #f)");
    ev("(gc)");
    EXPECT_GE(Object::live_count(), before + 2000) << "with the switch off the collector releases nothing";
    EXPECT_EQ(ev("(objc:gc #t)"), "#t");

    // What the collector left is given back here, so that the program ends without leaks.
    std::istringstream addresses(ev("(apply string-append (map (lambda (a) (string-append a \" \")) addresses))"));
    std::string address;
    size_t given_back = 0;
    while (addresses >> address) {
        const size_t hex = address.find("0x");
        if (hex == std::string::npos) continue;  // the reply's quotes
        if (Object* o = Object::retain_live(std::stoull(address.substr(hex), nullptr, 16))) {
            o->release();  // the reference retain_live gave
            o->release();  // the one the collected cell left behind
            ++given_back;
        }
    }
    EXPECT_EQ(given_back, 2000u);
    EXPECT_LT(Object::live_count(), before + 20);
}

TEST_F(ObjcBridge, TheBridgeCallsSchemeByName) {
    EXPECT_EQ(ev("(objc:iskind? \"OBJCBridge\" *ombrel-objc-bridge*)"), "#t");
    const int64_t now = std::stoll(ev("(objc:call *ombrel-objc-bridge* \"now\")"));
    EXPECT_NEAR(static_cast<double>(now), static_cast<double>(SampleClock::TIME.load() & 0xffffffff), 44100.0 * 5);

    ev("(define got '())");
    ev("(define (remember . args) (set! got args))");
    EXPECT_EQ(ev("(objc:call *ombrel-objc-bridge* \"callSchemeFunction:withArgs:inProcess:\" \"remember\" "
                 "(objc:list->nsarray (list 1 \"a \\\"q\\\") (danger)\" 2.5)) \"test process\")"),
              "#t");
    EXPECT_TRUE(eventually([&] { return c.eval("got") != "NIL"; }, 5s));
    EXPECT_EQ(ev("(equal? got '(1 \"a \\\"q\\\") (danger)\" 2.5))"), "#t") << "strings stay strings";

    EXPECT_EQ(ev("(objc:call *ombrel-objc-bridge* \"callSchemeFunction:withArgs:inProcess:\" \"remember\" 0 "
                 "\"nowhere\")"),
              "#f");
    EXPECT_TRUE(error("Bad Process Name"));
    EXPECT_EQ(ev("(objc:call *ombrel-objc-bridge* \"callSchemeFunction:withArgs:inProcess:\" \"x) (set! got 1\" 0 "
                 "\"test process\")"),
              "#f");
    EXPECT_TRUE(error("Bad Scheme function name"));
    EXPECT_EQ(ev("(objc:call *ombrel-objc-bridge* \"callSchemeFunction:\" \"remember\")"), "#f")
        << "the primary process is the default, and this program has none";
    EXPECT_EQ(ev("(objc:call *ombrel-objc-bridge* \"integerAction:\" (objc:make \"OMBControl\" \"initWithTag:\" 1))"),
              "#t");
    EXPECT_TRUE(error("Bad Process Name"));
}

TEST_F(ObjcBridge, ControlActionsReachThePrimaryProcess) {
    SchemeInterface primary(OMBREL_SCHEME_DIR, "primary process", 0);
    ASSERT_TRUE(primary.start());
    ASSERT_TRUE(eventually([&] { return primary.isReady(); }, 30s));
    primary.createSchemeTask(::strdup("(define (objc:action tag value) (test:record tag value))"), "setup",
                             SchemeTaskType::eval_string);

    ev("(define k (objc:make \"OMBControl\" \"initWithTag:\" 7))");
    ev("(objc:call k \"setStringValue:\" \"say \\\"hi\\\") (exit\")");
    ev("(objc:call k \"setTitleOfSelectedItem:\" \"Second\")");
    const char* bridge = "(objc:call *ombrel-objc-bridge* ";
    ev(std::string(bridge) + "\"stringAction:\" k)");
    ev(std::string(bridge) + "\"itemAction:\" k)");
    ev("(objc:call k \"setDoubleValue:\" 2.5)");
    ev(std::string(bridge) + "\"doubleAction:\" k)");
    ev(std::string(bridge) + "\"floatAction:\" k)");
    ev(std::string(bridge) + "\"integerAction:\" k)");
    ev(std::string(bridge) + "\"boolAction:\" k)");
    ev("(objc:call k \"setIntValue:\" 0)");
    ev(std::string(bridge) + "\"boolAction:\" k)");
    ev(std::string(bridge) + "\"objectAction:\" k)");
    EXPECT_EQ(ev(std::string(bridge) + "\"objectAction:\" (objc:string->nsstring \"no tag\"))"), "#t");
    EXPECT_TRUE(error("objc:action: the sender has no tag"));

    EXPECT_TRUE(eventually([] { return recorded.has("7 \"<OMBControl tag 7: 0>\""); }, 10s));
    for (const char* line : {"7 \"say \"hi\") (exit\"", "7 \"Second\"", "7 2.500000", "7 2", "7 #t", "7 #f"})
        EXPECT_TRUE(recorded.has(line)) << line;
    primary.stop();
}

TEST_F(ObjcBridge, ClassHelpersCheckTheirCounts) {
    const char* helper = "(objc:call \"OBJCBridge\" ";
    EXPECT_EQ(ev(std::string("(objc:nsstring->string ") + helper +
                 "\"floatArrayFromString:withSeparator:\" \"1.5, 2,x\" \",\"))"),
              "\"<0000c03f 00000040 00000000>\"");
    EXPECT_EQ(ev(std::string("(objc:nsstring->string ") + helper +
                 "\"intArrayFromString:withSeparator:\" \"1;-2;99999999999\" \";\"))"),
              "\"<01000000 feffffff ffffff7f>\"")
        << "integers saturate";
    EXPECT_EQ(ev(std::string("(objc:nsstring->string ") + helper +
                 "\"uintArrayFromString:withSeparator:\" \"-1 7\" \" \"))"),
              "\"<ffffffff 07000000>\"");

    ev(std::string("(define floats ") + helper + "\"floatArrayFromString:withSeparator:\" \"1,2,3,4,5,6\" \",\"))");
    ev(std::string("(define rows ") + helper +
       "\"splitFloatArrayIntoMultiDimensionalArray:dimensions:\" floats (objc:call \"OBJCBridge\" "
       "\"intArrayFromString:withSeparator:\" \"2,3,1\" \",\")))");
    EXPECT_EQ(ev("(objc:call rows \"length\")"), "24");
    EXPECT_EQ(ev(std::string(helper) +
                 "\"splitFloatArrayIntoMultiDimensionalArray:dimensions:\" floats (objc:call \"OBJCBridge\" "
                 "\"intArrayFromString:withSeparator:\" \"4,3\" \",\"))"),
              "#f");
    EXPECT_TRUE(error("count 1 (3) passes the end of 6 floats"));
    EXPECT_EQ(ev(std::string(helper) +
                 "\"splitFloatArrayIntoMultiDimensionalArray:dimensions:\" floats (objc:call \"OBJCBridge\" "
                 "\"intArrayFromString:withSeparator:\" \"-1\" \",\"))"),
              "#f");
    EXPECT_EQ(ev(std::string(helper) + "\"splitFloatArrayIntoMultiDimensionalArray:dimensions:\" floats "
                                       "(objc:string->nsdata \"abc\"))"),
              "#f");
    EXPECT_TRUE(error("the counts are not 4-byte integers"));
}

// The rows point into floats their data object owns, so they outlive the data they were made from.
TEST(ObjcBridgeHelpers, SplitRowsPointIntoTheirOwnCopy) {
    auto floats = OBJCBridge::float_array("1,2,3,4,5,6", ",");
    auto rows = OBJCBridge::split_floats(*floats, *OBJCBridge::int_array("2,3,1", ","));
    floats = {};
    const float* row[3];
    std::memcpy(row, rows->bytes().data(), sizeof row);
    EXPECT_EQ(row[0][0], 1.0f);
    EXPECT_EQ(row[1][0], 3.0f);
    EXPECT_EQ(row[1][2], 5.0f);
    EXPECT_EQ(row[2][0], 6.0f);
}

// docs/objects.md lists every selector of every class with the encoding it publishes.
TEST(ObjcBridgeDocs, EveryMethodIsDocumentedWithItsEncoding) {
    OBJCBridge::register_classes();
    std::ifstream in(std::string(OMBREL_SOURCE_DIR) + "/docs/objects.md");
    std::stringstream text;
    text << in.rdbuf();
    const std::string doc = text.str();
    ASSERT_FALSE(doc.empty());
    for (const Class* cls : runtime::classes()) {
        if (cls->name().starts_with("OMBTest")) continue;
        EXPECT_NE(doc.find("## " + cls->name()), std::string::npos) << cls->name();
        for (const auto* methods : {&cls->own_class_methods(), &cls->own_instance_methods()})
            for (const auto& [selector, m] : *methods) {
                const std::string row = std::string("| ") + (methods == &cls->own_class_methods() ? "+" : "-") +
                                        selector + " | `" + m.encoding + "` |";
                EXPECT_NE(doc.find(row), std::string::npos) << cls->name() << " " << row;
            }
    }
}

// The graphics library's path record, made and driven from Scheme as a piece would: it moves its path, takes
// colours as arrays of numbers, refuses what is not one, and outside a drawing draws nothing.
TEST_F(ObjcBridge, PathRecordsFromScheme) {
    ev("(define p (gfx:make-path))");
    ev("(gfx:add-oval p 10 10 20 20)");
    ev("(define m (objc:make \"MYPath\" \"initWithPath:\" p))");
    EXPECT_EQ(ev("(objc:iskind? \"MYPath\" m)"), "#t");
    EXPECT_EQ(ev("(objc:call m \"movePathX:Y:\" 5 -10)"), "#t");
    EXPECT_EQ(ev("(gfx:get-path-bounds p)"), "(15 0 20 20)") << "the record moves the path it was given";
    EXPECT_EQ(ev("(objc:call m \"setStyle:\" 2)"), "#t");
    EXPECT_EQ(ev("(objc:call m \"style\")"), "2");
    EXPECT_EQ(ev("(objc:call m \"setFill:\" (objc:list->nsarray '(1 0 0 1)))"), "#t");
    EXPECT_EQ(ev("(objc:call m \"setStroke:\" (objc:string->nsstring \"red\"))"), "#f");
    EXPECT_TRUE(error("-[MYPath setStroke:]"));
    EXPECT_EQ(ev("(objc:call m \"drawMyPath\")"), "#t") << "no drawing in progress: nothing to draw into";
    EXPECT_EQ(ev("(objc:make \"MYPath\" \"initWithPath:\" (objc:string->nsstring \"p\"))"), "#f");
    EXPECT_EQ(ev("(+ 1 2)"), "3");
}

}  // namespace
}  // namespace omb
