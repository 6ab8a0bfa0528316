#include "graphics/movie_procedures.h"

#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>

#include "graphics/movie_reader.h"
#include "graphics/movie_writer.h"
#include "platform/dev_log.h"
#include "platform/log_bridge.h"
#include "runtime/argument_target.h"
#include "runtime/scheme_interface.h"
#include "scheduler/sample_clock.h"

namespace omb {

namespace {

std::string expand_home(std::string path) {
    if (!path.empty() && path[0] == '~')
        if (const char* home = std::getenv("HOME")) path = std::string(home) + path.substr(1);
    return path;
}

// ---- reading -------------------------------------------------------------------------------------------------------

// The movie an argument holds; null, reported, for anything else or a movie already destroyed.
Movie* movie_of(pointer p) {
    if (!is_objc(p)) {
        CPPBridge::error("Illegal Movie. Incorrect Type");
        return nullptr;
    }
    Object* object = objc_value(p);
    auto* movie = dynamic_cast<Movie*>(object);
    if (!object || (movie && movie->closed())) {
        CPPBridge::error("Null Movie");
        return nullptr;
    }
    if (!movie) CPPBridge::error("Illegal Movie. Incorrect Type");
    return movie;
}

pointer first_of(scheme* sc, pointer args) { return is_pair(args) ? pair_car(args) : sc->NIL; }

pointer load_movie(scheme* sc, pointer args) {
    pointer path = first_of(sc, args);
    if (!is_string(path)) {
        CPPBridge::error("Arg 1 should be a string path");
        return sc->F;
    }
    std::string error;
    Ref<Movie> movie = Movie::open(expand_home(string_value(path)), &error);
    if (!movie) {
        CPPBridge::error("%s", error.c_str());
        return sc->F;
    }
    return mk_objc(sc, movie.release());
}

pointer reported(scheme* sc, const std::string& error) {
    CPPBridge::error("%s", error.c_str());
    return sc->F;
}

pointer movie_duration(scheme* sc, pointer args) {
    Movie* movie = movie_of(first_of(sc, args));
    if (!movie) return sc->F;
    std::string error;
    const auto seconds = movie->duration(&error);
    return seconds ? mk_real(sc, *seconds) : reported(sc, error);
}

pointer movie_fps(scheme* sc, pointer args) {
    Movie* movie = movie_of(first_of(sc, args));
    if (!movie) return sc->F;
    std::string error;
    const auto fps = movie->fps(&error);
    return fps ? mk_real(sc, *fps) : reported(sc, error);
}

pointer movie_frame(scheme* sc, pointer args) {
    Movie* movie = movie_of(first_of(sc, args));
    if (!movie) return sc->F;
    pointer time = is_pair(args) ? first_of(sc, pair_cdr(args)) : sc->NIL;
    if (!is_number(time) || !std::isfinite(rvalue(time))) {
        CPPBridge::error("gfx:get-movie-frame takes a movie and a time in seconds: %s", printed(sc, args).c_str());
        return sc->F;
    }
    std::string error;
    Ref<BitmapImage> image = movie->frame_at(rvalue(time), &error);
    return image ? mk_objc(sc, image.release()) : reported(sc, error);
}

constexpr CanvasProcedure MOVIE_PROCEDURES[] = {
    {"gfx:load-movie", load_movie},
    {"gfx:get-movie-duration", movie_duration},
    {"gfx:get-movie-fps", movie_fps},
    {"gfx:get-movie-frame", movie_frame},
};

// "*gfx:destroy-movie*": the task holds the movie until it runs, then frees its decoder.
class DestroyMovie : public ArgumentTarget {
public:
    bool read(scheme*, pointer args, TaskArguments& into) const override {
        Movie* movie = is_pair(args) ? movie_of(pair_car(args)) : nullptr;
        if (!movie) return false;
        into.objects.push_back(Ref<Object>::retain(movie));
        return true;
    }
    void execute(TaskI* task) override {
        const TaskArguments& args = task_arguments(task);
        if (auto* movie = args.objects.empty() ? nullptr : dynamic_cast<Movie*>(args.objects.front().get()))
            movie->close();
    }
};

// ---- recording -----------------------------------------------------------------------------------------------------

std::mutex recording_mutex;
std::unique_ptr<MovieWriter> recording;  // under recording_mutex

// A recording that ended by itself (a write failed, already reported) is let go.
void collect_ended_locked() {
    if (recording && recording->ended()) {
        recording->stop(nullptr);
        recording.reset();
    }
}

GraphicView* view_of(pointer p) { return is_objc(p) ? dynamic_cast<GraphicView*>(objc_value(p)) : nullptr; }

}  // namespace

std::span<const CanvasProcedure> movie_procedures() { return MOVIE_PROCEDURES; }

void bind_movie_targets(SchemeInterface* process) {
    process->addGlobalCptr("*gfx:destroy-movie*", keep_target(std::make_unique<DestroyMovie>()));
}

pointer start_movie_capture(scheme* sc, pointer args) {
    const int count = list_length(sc, args);
    if (count < 2 || count > 5) {
        CPPBridge::error("Wrong number of arguments passed to start-movie-capture");
        return sc->F;
    }
    pointer a[5] = {sc->NIL, sc->NIL, sc->NIL, sc->NIL, sc->NIL};
    pointer p = args;
    for (int i = 0; i < count; ++i, p = pair_cdr(p)) a[i] = pair_car(p);
    GraphicView* view = view_of(a[0]);
    if (!view) {
        CPPBridge::error("First argument must be a canvas");
        return sc->F;
    }
    if (!is_string(a[1])) {
        CPPBridge::error("gfx:start-movie-capture: the second argument must be the movie's file path");
        return sc->F;
    }
    MovieSettings settings;
    settings.path = expand_home(string_value(a[1]));
    settings.with_audio = count < 3 || a[2] == sc->T;
    settings.compressed = count < 4 || a[3] == sc->T;
    if (count == 5 && is_symbol(a[4])) {
        const std::string quality = symname(a[4]);
        settings.quality = quality == "high" ? 2 : quality == "low" ? 0 : 1;
    }
    settings.sample_rate = SampleClock::SAMPLERATE.load();

    std::lock_guard lock(recording_mutex);
    collect_ended_locked();
    if (recording) {
        CPPBridge::error("ERROR: You cannot record two movies at once");
        return sc->F;
    }
    std::string error;
    recording = MovieWriter::start(Ref<GraphicView>::retain(view), settings, &error);
    if (!recording) {
        CPPBridge::error("Error Creating Movie File For Movie Capture: %s", error.c_str());
        return sc->F;
    }
    devlog("START MOVIE: %s", settings.path.c_str());
    return sc->T;
}

pointer stop_movie_capture(scheme* sc, pointer args) {
    GraphicView* view = view_of(first_of(sc, args));
    if (!view) {
        CPPBridge::error("First argument must be a canvas or opengl view");
        return sc->F;
    }
    std::unique_ptr<MovieWriter> writer;
    {
        std::lock_guard lock(recording_mutex);
        if (recording && recording->view() == view) writer = std::move(recording);
    }
    if (!writer) {
        CPPBridge::notification("You have not started capturing a movie yet!");
        return sc->F;
    }
    if (writer->ended()) return writer->stop(nullptr), sc->F;  // its failure was reported as it happened
    std::string error;
    const bool ok = writer->stop(&error);
    devlog("STOP MOVIE: %s", writer->path().c_str());
    devlog("ADD MEDIA DATA: %llu,%llu", static_cast<unsigned long long>(writer->frames_written()),
           static_cast<unsigned long long>(writer->frames_dropped()));
    if (writer->frames_dropped() > 0)
        CPPBridge::error("Movie capture lost %llu frames: the movie thread could not keep up",
                         static_cast<unsigned long long>(writer->frames_dropped()));
    if (!ok) return reported(sc, error);
    CPPBridge::notification("Finished writing Quicktime Movie");
    return sc->T;
}

void stop_any_movie_capture() {
    std::lock_guard lock(recording_mutex);
    if (recording) recording->stop(nullptr);
    recording.reset();
}

}  // namespace omb
