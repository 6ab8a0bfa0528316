// MYPath: a path with its own fill and stroke colours and drawing style, made and used from Scheme through the
// object bridge: (objc:make "MYPath" "initWithPath:" path), then (objc:call p "setFill:" colour), "setStroke:",
// "setStyle:" (an integer), "movePathX:Y:" (two reals) and "drawMyPath". Colours are colour objects: NSArrays of
// three or four numbers, red green blue [alpha] (graphics/group_targets.h).
//
// drawMyPath draws into the current graphics context (graphics/current_context.h): style 0 fills then strokes, 1
// fills only, 2 and 3 stroke only, above 3 nothing; with no drawing in progress on the calling thread it draws
// nothing. Its line width is the path's own.
//
// Threads: any; the fields are guarded by the object's own lock.
#pragma once

#include <mutex>

#include "graphics/bezier_path.h"
#include "platform/objects/foundation.h"

namespace omb {

class MYPath : public Object {
public:
    MYPath();
    std::string class_name() const override { return "MYPath"; }

    void init_with_path(BezierPath* path);
    void set_fill(const double (&rgba)[4]);
    void set_stroke(const double (&rgba)[4]);
    void set_style(int style);
    void move_path(double x, double y);
    // Into `cr` (a context whose y counts up); nothing for a null context or a MYPath without a path.
    void draw(cairo_t* cr) const;

    Ref<BezierPath> path() const;
    int style() const;

    // Makes the class known to the object runtime (once).
    static void register_class();

private:
    mutable std::mutex mutex_;
    Ref<BezierPath> path_;
    double fill_[4], stroke_[4];
    int style_ = 0;
};

}  // namespace omb
