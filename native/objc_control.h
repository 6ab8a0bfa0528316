// OMBControl: a small control object as the bridge's control actions see their sender: a tag, and one value read
// as a string, an integer, a float or a double, or as the title of a selected item. Scheme makes and sets them
// through the object bridge to stand in for a window's controls (and the tests use them to act).
//
// Threads: one at a time, like any mutable object.
#pragma once

#include <cstdint>
#include <string>

#include "platform/objects/object.h"

namespace omb {

class OMBControl : public Object {
public:
    int64_t tag() const { return tag_; }
    void set_tag(int64_t tag) { tag_ = tag; }
    const std::string& string_value() const { return text_; }
    double double_value() const { return value_; }
    // Setting one form of the value sets the others: a text is read as a number, a number printed as a text.
    void set_string_value(std::string text);
    void set_double_value(double value);
    const std::string& title_of_selected_item() const { return title_; }
    void set_title_of_selected_item(std::string title) { title_ = std::move(title); }

    std::string class_name() const override { return "OMBControl"; }
    std::string description() const override;

    // The class in the object runtime, once.
    static void register_class();

private:
    int64_t tag_ = 0;
    std::string text_;
    double value_ = 0;
    std::string title_;
};

}  // namespace omb
