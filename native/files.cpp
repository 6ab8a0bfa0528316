// The file procedures: io:cwd, io:validate-filename, io:file-exists?, io:delete-file, io:move-file,
// io:directory-list and io:make-directory.
//
// Paths go to the system calls as written: no shell, no globbing, only a leading "~" or "~user" is expanded
// (not for io:cwd). Deleting and moving act on the named entry itself: a symbolic link is removed or moved, never
// what it points at; a directory is deleted only when empty; a move never replaces an existing entry. Failures
// answer #f without a message (the directory listing excepted); arguments of the wrong type are reported.
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "interpreter/scheme.h"
#include "native/help.h"
#include "native/native_scheme.h"
#include "platform/log_bridge.h"

namespace omb {

namespace fs = std::filesystem;

namespace {

pointer first(scheme* sc, pointer args) { return is_pair(args) ? pair_car(args) : sc->NIL; }
pointer second(scheme* sc, pointer args) { return is_pair(args) ? first(sc, pair_cdr(args)) : sc->NIL; }
pointer boolean(scheme* sc, bool b) { return b ? sc->T : sc->F; }

// The home directory of the user named, or of this user when the name is empty; "" when there is none.
std::string home_of(const std::string& user) {
    if (user.empty())
        if (const char* home = std::getenv("HOME"); home && *home) return home;
    std::vector<char> buf(16384);
    passwd pw{}, *found = nullptr;
    const int rc = user.empty() ? ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found)
                                : ::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found);
    return rc == 0 && found && found->pw_dir ? found->pw_dir : "";
}

// "~" and "~/x" (this user's home), "~name/x" (that user's); anything else, or an unknown user, as it is.
std::string expand_tilde(const std::string& path) {
    if (path.empty() || path[0] != '~') return path;
    const size_t slash = path.find('/');
    const std::string user = path.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    const std::string home = home_of(user);
    if (home.empty()) return path;
    return slash == std::string::npos ? home : home + path.substr(slash);
}

// The path argument at `arg`, expanded; reports and answers false when it is not a string.
bool path_argument(pointer arg, const char* procedure, std::string* path) {
    if (!is_string(arg)) {
        CPPBridge::error("%s needs a path string", procedure);
        return false;
    }
    *path = expand_tilde(string_value(arg));
    return true;
}

bool entry_exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

pointer cwd(scheme* sc, pointer args) {
    if (pointer dir = first(sc, args); dir != sc->NIL) {
        if (!is_string(dir)) {
            CPPBridge::error("io:cwd needs a directory path string, or nothing");
            return sc->F;
        }
        if (::chdir(string_value(dir)) != 0) return sc->F;
    }
    std::error_code ec;
    const fs::path here = fs::current_path(ec);
    CPPBridge::notification("%s", ec ? "(the current directory cannot be read)" : here.c_str());
    return sc->T;
}

pointer validate_filename(scheme* sc, pointer args) {
    pointer name = first(sc, args);
    if (!is_string(name)) {
        CPPBridge::error("io:validate-filename needs a string");
        return sc->F;
    }
    const std::string valid = validated_file_name(string_value(name));
    return mk_counted_string(sc, valid.data(), static_cast<int>(valid.size()));
}

pointer file_exists(scheme* sc, pointer args) {
    std::string path;
    if (!path_argument(first(sc, args), "io:file-exists?", &path)) return sc->F;
    return boolean(sc, entry_exists(path));
}

// The entry itself: a link, not its target; a directory only when empty.
pointer delete_file(scheme* sc, pointer args) {
    std::string path;
    if (!path_argument(first(sc, args), "io:delete-file", &path)) return sc->F;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return sc->F;
    return boolean(sc, (S_ISDIR(st.st_mode) ? ::rmdir(path.c_str()) : ::unlink(path.c_str())) == 0);
}

// A file moved across file systems: copied (refusing to replace), then the original removed.
bool move_across(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    std::error_code ec;
    if (!fs::copy_file(from, to, fs::copy_options::none, ec)) return false;
    if (::unlink(from.c_str()) == 0) return true;
    ::unlink(to.c_str());  // the original stays; so must nothing else
    return false;
}

pointer move_file(scheme* sc, pointer args) {
    std::string from, to;
    if (!path_argument(first(sc, args), "io:move-file", &from) ||
        !path_argument(second(sc, args), "io:move-file", &to))
        return sc->F;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return sc->T;
    switch (errno) {
    case EINVAL:
    case ENOSYS:
        // A file system without no-replace renames: look first (a race here is the one left open).
        if (entry_exists(to)) return sc->F;
        return boolean(sc, ::rename(from.c_str(), to.c_str()) == 0);
    case EXDEV: return boolean(sc, move_across(from, to));
    default: return sc->F;
    }
}

// The names in the directory, sorted, joined by newlines (no newline after the last).
pointer directory_list(scheme* sc, pointer args) {
    std::string path;
    if (!path_argument(first(sc, args), "io:directory-list", &path)) return sc->F;
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
        CPPBridge::error("Directory does not exist");
        return sc->F;
    }
    std::vector<std::string> names;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec) {
        CPPBridge::error("Directory cannot be read: %s", path.c_str());
        return sc->F;
    }
    std::sort(names.begin(), names.end());
    std::string listing;
    for (const std::string& name : names) listing += (listing.empty() ? "" : "\n") + name;
    return mk_counted_string(sc, listing.data(), static_cast<int>(listing.size()));
}

// With the directories leading to it; one that is there already is a success.
pointer make_directory(scheme* sc, pointer args) {
    std::string path;
    if (!path_argument(first(sc, args), "io:make-directory", &path)) return sc->F;
    std::error_code ec;
    fs::create_directories(path, ec);
    return boolean(sc, fs::is_directory(path, ec));
}

constexpr NativeProcedure FILES[] = {
    {"io:cwd", cwd},
    {"io:validate-filename", validate_filename},
    {"io:file-exists?", file_exists},
    {"io:delete-file", delete_file},
    {"io:move-file", move_file},
    {"io:directory-list", directory_list},
    {"io:make-directory", make_directory},
};

}  // namespace

NativeTable file_procedures() { return FILES; }

}  // namespace omb
