// Vectors flattened into packed buffers that never overflow, and the objc: conversions between vectors and data
// objects with their limits.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "native/native_scheme.h"
#include "native/vector_data.h"
#include "platform/objects/foundation.h"
#include "tests/native/vector_support.h"

namespace omb {
namespace {

using namespace test;

class VectorData : public VectorTest {
protected:
    void define_data(const char* name, Ref<NSData> data) { define(name, mk_objc(sc, data.release())); }
    static Ref<NSData> floats(size_t count) {
        std::vector<float> values(count);
        for (size_t i = 0; i < count; ++i) values[i] = static_cast<float>(i) + 0.5f;
        return make_object<NSData>(values.data(), values.size() * sizeof(float));
    }
    pointer value_of(const std::string& text) {
        ev("(define tested " + text + ")");
        return global("tested");
    }
    // The data object `text` evaluates to; null when it is not one.
    const NSData* data_of(const std::string& text) {
        pointer value = value_of(text);
        return is_objc(value) ? dynamic_cast<const NSData*>(objc_value(value)) : nullptr;
    }
    template <typename T>
    static std::vector<T> values_of(const NSData* data) {
        std::vector<T> out(data->length() / sizeof(T));
        std::memcpy(out.data(), data->bytes().data(), out.size() * sizeof(T));
        return out;
    }
};

TEST_F(VectorData, ConvertersFlattenInOrderAndNeverWritePastTheBuffer) {
    int32_t ints[5] = {0, 0, 0, 0, -7};
    Flattened f = makeIntVector(sc, value_of("(vector 1 (vector 2 3) 4)"), std::span(ints, 4));
    EXPECT_TRUE(f);
    EXPECT_EQ(f.written, 4u);
    EXPECT_EQ(std::vector<int32_t>(ints, ints + 5), (std::vector<int32_t>{1, 2, 3, 4, -7}));

    int32_t small[4] = {0, 0, 0, -7};
    f = makeIntVector(sc, value_of("(vector 1 (vector 2 3) 4)"), std::span(small, 3));
    EXPECT_FALSE(f);
    EXPECT_EQ(f.written, 3u);
    EXPECT_EQ(small[3], -7) << "the value past the buffer is untouched";

    uint8_t bytes[3];
    EXPECT_TRUE(makeUInt8Vector(sc, value_of("(vector 257 -1 3.9)"), bytes));
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 3), (std::vector<uint8_t>{1, 255, 3}));

    float fl[4];
    EXPECT_TRUE(makeFloatVector(sc, value_of("(vector 0.1 1e300 -1e300 1/4)"), fl));
    EXPECT_EQ(fl[0], 0.1f);
    EXPECT_EQ(fl[1], std::numeric_limits<float>::infinity());
    EXPECT_EQ(fl[2], -std::numeric_limits<float>::infinity());
    EXPECT_EQ(fl[3], 0.25f);

    EXPECT_STREQ(makeFloatVector(sc, value_of("(vector 1 'two)"), fl).error,
                 "Vector elements must be numbers or vectors of numbers");
    // A vector inside itself, and one inner vector shared 30 000 × 30 000 times: refused, and quickly.
    EXPECT_FALSE(makeFloatVector(sc, value_of("(let ((v (vector 1 2))) (vector-set! v 0 v) v)"), fl));
    EXPECT_FALSE(makeFloatVector(sc, value_of("(make-vector 30000 (make-vector 30000 (vector)))"), fl));
    EXPECT_EQ(makeFloatVector(sc, value_of("(vector)"), {}).written, 0u);
}

TEST_F(VectorData, VectorsBecomePackedData) {
    const NSData* d = data_of("(objc:vector->nsdata-float (vector (vector 1 2) (vector 3 4.5)))");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(values_of<float>(d), (std::vector<float>{1, 2, 3, 4.5f}));
    EXPECT_EQ(d->retain_count(), 1) << "the cell holds the only reference";
    d = data_of("(objc:vector->nsdata-int (vector -1 2.9 4294967297))");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(values_of<int32_t>(d), (std::vector<int32_t>{-1, 2, 1}));
    d = data_of("(objc:vector->nsdata-uint8 (vector (vector 255 256) (vector 1 2)))");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(values_of<uint8_t>(d), (std::vector<uint8_t>{255, 0, 1, 2}));
    d = data_of("(objc:vector->nsdata-float (vector))");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->length(), 0u);

    refused("(objc:vector->nsdata-float '(1 2))", "Arg must be a vector of floating point values", {});
    refused("(objc:vector->nsdata-int (vector (vector 1 2) (vector 3)))", "Nested vectors must be rectangular", {});
    refused("(objc:vector->nsdata-uint8 (vector (vector 1 2) (vector 3 4 5)))", "Nested vectors must be rectangular",
            {});
    refused("(objc:vector->nsdata-float (vector (vector 1 2) 3))", "Nested vectors must be rectangular", {});
    refused("(objc:vector->nsdata-float (make-vector 30000 (make-vector 30000 1)))", "too large", {});
}

TEST_F(VectorData, DataBecomesAVectorOfAtMost5000Reals) {
    define_data("d5000", floats(5000));
    define_data("d5001", floats(5001));
    Ref<NSMutableData> odd = make_object<NSMutableData>(floats(2)->bytes());
    odd->append("xy", 2);  // a remainder short of a float is left out
    define_data("odd", std::move(odd));
    define("text", mk_objc(sc, make_object<NSString>("1 2 3").release()));
    EXPECT_EQ(ev("(vector-length (objc:nsdata->vector d5000))"), "5000");
    EXPECT_EQ(reals("(vector (vector-ref (objc:nsdata->vector d5000) 4999))"), "4999.5");
    refused("(objc:nsdata->vector d5001)", "Ombrel does not support vector sizes greater than 5000 elements", {});
    EXPECT_EQ(reals("(objc:nsdata->vector odd)"), "0.5 1.5");
    EXPECT_EQ(reals("(objc:nsdata->vector (objc:vector->nsdata-float (vector 0.25 -2)))"), "0.25 -2");
    refused("(objc:nsdata->vector text)", "Arg must be an NSData object containing floating point values", {});
    refused("(objc:nsdata->vector (vector 1.0))", "Arg must be an NSData object containing floating point values", {});
}

}  // namespace
}  // namespace omb
