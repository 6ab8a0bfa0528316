// Movie: a movie file opened for reading frames (FFmpeg's demuxer and decoder), handed to Scheme as an object.
// It answers its duration and video frame rate, and the frame shown at any time as a new BitmapImage (Cairo ARGB32
// premultiplied, row 0 the top), exact to the frame: the frame shown at t is the last one whose time is not after
// t. Asking for increasing times decodes forward; any other time seeks to the keyframe before it first.
//
// Threads: any; one lock serialises the calls, so a "*gfx:destroy-movie*" task on the scheduler's thread may
// close() it while a process asks for frames. A closed movie answers nothing ("Null Movie"); the object itself
// lives as long as a Scheme value or a task holds it.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "graphics/bitmap_image.h"
#include "platform/objects/foundation.h"

namespace omb {

class Movie : public Object {
public:
    // Opens `path`. Null, with *error set to the message to report, when the file is missing ("File Does Not
    // Exist") or cannot be opened as a movie ("Error Opening Movie File: <code>").
    static Ref<Movie> open(const std::string& path, std::string* error);
    ~Movie() override;
    std::string class_name() const override { return "Movie"; }

    // Every answer below is empty, with *error set to the message to report, when it cannot be given.
    bool closed() const;
    // The movie's duration in seconds (the longest of its tracks).
    std::optional<double> duration(std::string* error) const;
    // Video frames per second: the video track's frame count over its duration, or its stated average rate.
    std::optional<double> fps(std::string* error) const;
    // The frame shown at `seconds` (from the start of the video track).
    Ref<BitmapImage> frame_at(double seconds, std::string* error);
    // Frees the demuxer and decoder; later calls answer "Null Movie".
    void close();

    struct Decoder;  // the FFmpeg state
    explicit Movie(std::unique_ptr<Decoder> decoder);

private:
    mutable std::mutex mutex_;
    std::unique_ptr<Decoder> decoder_;
};

}  // namespace omb
