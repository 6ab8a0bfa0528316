// The file procedures on a scratch directory standing in for the home directory: tilde expansion, names with
// shell metacharacters taken literally, deletes and moves that act on the named entry only and never replace one.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

#include "interpreter/scheme.h"
#include "native/native_scheme.h"
#include "tests/support/log_capture.h"

namespace omb {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        sc = scheme_init_new();
        home = fs::temp_directory_path() / ("ombrel-files-test-" + std::to_string(::getpid()));
        fs::remove_all(home);
        fs::create_directories(home);
        saved_home = std::getenv("HOME") ? std::getenv("HOME") : "/";
        ::setenv("HOME", home.c_str(), 1);
        saved_cwd = fs::current_path();
    }
    void TearDown() override {
        fs::current_path(saved_cwd);
        ::setenv("HOME", saved_home.c_str(), 1);
        fs::remove_all(home);
        scheme_deinit(sc);
        std::free(sc);
    }

    pointer call(std::string_view name, std::initializer_list<std::string> paths) {
        pointer list = sc->NIL;
        for (auto it = std::rbegin(paths); it != std::rend(paths); ++it)
            list = s_cons(sc, mk_counted_string(sc, it->data(), static_cast<int>(it->size())), list);
        for (const NativeProcedure& p : file_procedures())
            if (name == p.name) {
                protect_cell(sc, list);
                pointer result = p.procedure(sc, list);
                unprotect_cell(sc, list);
                return result;
            }
        ADD_FAILURE() << "no procedure " << name;
        return sc->NIL;
    }
    std::string text(pointer p) { return is_string(p) ? string_value(p) : "<not a string>"; }
    void touch(const fs::path& p, const std::string& content = "x") { std::ofstream(p) << content; }
    std::string content(const fs::path& p) {
        std::ifstream in(p);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    scheme* sc = nullptr;
    fs::path home, saved_cwd;
    std::string saved_home;
    test::LogCapture log;
};

TEST_F(Files, OnlyALeadingTildeIsExpandedAndNamesAreTakenLiterally) {
    touch(home / "present");
    fs::current_path(home);
    EXPECT_EQ(call("io:file-exists?", {"~/present"}), sc->T);
    EXPECT_EQ(call("io:file-exists?", {"~"}), sc->T);
    EXPECT_EQ(call("io:file-exists?", {"~root"}), sc->T) << "another user's home";
    for (const char* literal : {"./~/present", "~/pres*", "$HOME/present", "~no-such-user-here/present"})
        EXPECT_EQ(call("io:file-exists?", {literal}), sc->F) << literal;

    const std::string name = "a b;touch pwned $(touch pwned2) `touch pwned3` *'\"&|>x.txt";
    touch(home / name, "kept");
    EXPECT_EQ(call("io:move-file", {"~/" + name, "~/" + name + " moved"}), sc->T);
    EXPECT_EQ(content(home / (name + " moved")), "kept");
    EXPECT_EQ(call("io:delete-file", {"~/" + name + " moved"}), sc->T);
    EXPECT_EQ(text(call("io:directory-list", {"~"})), "present") << "no shell ran: nothing else was made";

    EXPECT_EQ(text(call("io:validate-filename", {"a/b?"})), "adivbqmark");
    EXPECT_EQ(text(call("io:validate-filename", {"math:vector/"})), "math:vectordiv");
}

TEST_F(Files, DeleteRemovesTheNamedEntryNeverWhatItLeadsToNorATree) {
    fs::create_directories(home / "outside");
    touch(home / "outside" / "precious", "keep me");
    fs::create_directory_symlink(home / "outside", home / "dir-link");
    fs::create_symlink(home / "outside" / "precious", home / "file-link");
    fs::create_symlink(home / "nowhere", home / "dangling");

    EXPECT_EQ(call("io:delete-file", {"~/file-link"}), sc->T);
    EXPECT_EQ(call("io:delete-file", {"~/dir-link"}), sc->T);
    EXPECT_EQ(call("io:file-exists?", {"~/dangling"}), sc->T) << "a link that leads nowhere is still there";
    EXPECT_EQ(call("io:delete-file", {"~/dangling"}), sc->T);
    EXPECT_EQ(call("io:delete-file", {"~/outside"}), sc->F) << "a directory with files in it stays";
    EXPECT_EQ(content(home / "outside" / "precious"), "keep me");
    fs::create_directory(home / "empty");
    EXPECT_EQ(call("io:delete-file", {"~/empty"}), sc->T);
    EXPECT_EQ(call("io:delete-file", {"~/empty"}), sc->F) << "gone already";
}

TEST_F(Files, AMoveNeverReplacesAnEntryEvenAcrossFileSystems) {
    touch(home / "a", "A");
    touch(home / "b", "B");
    EXPECT_EQ(call("io:move-file", {"~/a", "~/b"}), sc->F);
    EXPECT_EQ(content(home / "a") + content(home / "b"), "AB");
    EXPECT_EQ(call("io:move-file", {"~/a", "~/c"}), sc->T);
    EXPECT_EQ(content(home / "c"), "A");
    EXPECT_EQ(call("io:move-file", {"~/a", "~/d"}), sc->F) << "no source";
    fs::create_symlink(home / "b", home / "link");
    EXPECT_EQ(call("io:move-file", {"~/link", "~/link2"}), sc->T);
    EXPECT_TRUE(fs::is_symlink(home / "link2"));

    struct stat here {}, shm {};
    if (::stat("/dev/shm", &shm) != 0 || ::stat(home.c_str(), &here) != 0 || here.st_dev == shm.st_dev)
        GTEST_SKIP() << "no second file system to move to";
    const std::string there = "/dev/shm/ombrel-files-test-" + std::to_string(::getpid());
    fs::remove(there);
    EXPECT_EQ(call("io:move-file", {"~/c", there}), sc->T);
    EXPECT_FALSE(fs::exists(home / "c"));
    EXPECT_EQ(call("io:move-file", {there, "~/b"}), sc->F);
    EXPECT_EQ(content(there) + content(home / "b"), "AB");
    fs::remove(there);
}

TEST_F(Files, ListingsDirectoriesAndTheCurrentDirectory) {
    fs::create_directories(home / "d" / "sub");
    for (const char* name : {"b file", ".hidden", "a"}) touch(home / "d" / name);
    EXPECT_EQ(text(call("io:directory-list", {"~/d"})), ".hidden\na\nb file\nsub");
    EXPECT_EQ(text(call("io:directory-list", {"~/d/sub"})), "");
    EXPECT_EQ(call("io:directory-list", {"~/d/a"}), sc->F);
    EXPECT_TRUE(log.saw(log.errors, "Directory does not exist", 0ms));

    EXPECT_EQ(call("io:make-directory", {"~/x/y z/w"}), sc->T);
    EXPECT_EQ(call("io:make-directory", {"~/x"}), sc->T) << "there already";
    EXPECT_EQ(call("io:make-directory", {"~/d/a/under"}), sc->F);

    EXPECT_EQ(call("io:cwd", {(home / "x" / "y z").string()}), sc->T);
    EXPECT_EQ(fs::current_path(), home / "x" / "y z");
    EXPECT_TRUE(log.saw(log.notes, (home / "x" / "y z").string(), 0ms));
    EXPECT_EQ(call("io:cwd", {"~"}), sc->F) << "io:cwd takes its path literally";
    EXPECT_EQ(fs::current_path(), home / "x" / "y z");
}

}  // namespace
}  // namespace omb
