#include "platform/plist.h"

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plist = omb::plist;
namespace fs = std::filesystem;
using plist::Array;
using plist::Dict;
using plist::Value;

namespace {

const char* const HEADER = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                           "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

std::string doc(const std::string& body) { return std::string(HEADER) + "<plist version=\"1.0\">\n" + body + "</plist>\n"; }

Value round_trip(const Value& v) {
    std::string error;
    auto back = plist::parse(plist::serialize(v), &error);
    EXPECT_TRUE(back) << error;
    return back ? *back : Value();
}

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(Plist, RoundTripsEveryKindNestedAndInOrder) {
    plist::Bytes long_data(200);
    for (std::size_t i = 0; i < long_data.size(); ++i) long_data[i] = static_cast<std::uint8_t>(i * 7);
    Value v = Dict({
        {"zebra", true},
        {"apple", false},
        {"ints", Array{0, -1, std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}},
        {"reals", Array{0.1, -2.5e-300, 1e300, 12.0, -0.0, std::numeric_limits<double>::infinity(),
                        -std::numeric_limits<double>::infinity()}},
        {"escaped <>&\"' key", "a<b && c>d \"q\" 'a' ]]> &amp;"},
        {"unicode", "é ♪ 𝄞 日本"},
        {"spaces", "  "},
        {"empty", ""},
        {"lines", "one\r\ntwo\rthree\n\tfour "},
        {"control", std::string("bell\x07 esc\x1b")},
        {"data", Array{plist::Bytes{}, plist::Bytes{1}, plist::Bytes{1, 2}, plist::Bytes{0, 255, 128}, long_data}},
        {"date", plist::Date{"2024-02-29T23:59:60Z"}},
        {"empties", Array{Array{}, Dict{}}},
        {"nested", Array{Dict({{"inner", Array{Dict({{"deep", Array{1, "x", 2.5}}})}}})}},
    });
    Value back = round_trip(v);
    EXPECT_EQ(back, v);
    EXPECT_EQ(plist::serialize(back), plist::serialize(v));

    EXPECT_EQ(back.as_dict()->begin()[0].first, "zebra");  // in the order written, not sorted
    EXPECT_EQ(back.as_dict()->begin()[1].first, "apple");

    auto nan = round_trip(std::numeric_limits<double>::quiet_NaN()).as_real();
    ASSERT_TRUE(nan);
    EXPECT_TRUE(std::isnan(*nan));
}

TEST(Plist, WritesTheUsualLayout) {
    Value v = Dict({{"a", 1}, {"b", Array{true, Dict{}, Array{}}}, {"c", plist::Bytes{'h', 'i'}}, {"d", 0.5}});
    EXPECT_EQ(plist::serialize(v), doc("<dict>\n\t<key>a</key>\n\t<integer>1</integer>\n"
                                       "\t<key>b</key>\n\t<array>\n\t\t<true/>\n\t\t<dict/>\n\t\t<array/>\n\t</array>\n"
                                       "\t<key>c</key>\n\t<data>\n\taGk=\n\t</data>\n"
                                       "\t<key>d</key>\n\t<real>0.5</real>\n</dict>\n"));
    // NUL has no XML form: left out rather than producing a file that cannot be read back.
    EXPECT_EQ(round_trip(std::string("a\0b", 3)), Value("ab"));
}

TEST(Plist, ReadsWhatOtherWritersProduce) {
    std::string error;
    auto v = plist::parse(
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\n<!-- made by hand -->\n<plist version=\"1.0\"><dict>"
        "<key>cdata</key><string>x<![CDATA[<raw> & ]]>y</string>"
        "<key>refs</key><string>&#x263A;&#233;&lt;&quot;&apos;</string>"
        "<key>commented</key><string>a<!-- gone -->b</string>"
        "<key>self-closed</key><string/>"
        "<key>blank</key><string> \t </string>"
        "<key>ints</key><array><integer> 42 </integer><integer>+7</integer><integer>-0x10</integer></array>"
        "<key>reals</key><array><real>.5</real><real>1E3</real><real>-infinity</real><real>+inf</real>"
        "<real>7</real></array>"
        "<key>wrapped</key><data>\n\t\taGVs\n\t\tbG8=\n\t</data>"
        "<key>unpadded</key><data>aGk</data>"
        "<key>dup</key><integer>1</integer><key>after</key><true/><key>dup</key><integer>2</integer>"
        "</dict></plist>",
        &error);
    ASSERT_TRUE(v) << error;
    EXPECT_EQ(*v->find("cdata")->as_string(), "x<raw> & y");
    EXPECT_EQ(*v->find("refs")->as_string(), "☺é<\"'");
    EXPECT_EQ(*v->find("commented")->as_string(), "ab");
    EXPECT_EQ(*v->find("self-closed")->as_string(), "");
    EXPECT_EQ(*v->find("blank")->as_string(), " \t ");
    EXPECT_EQ(*v->find("ints"), Value(Array{42, 7, -16}));
    EXPECT_EQ(*v->find("reals"), Value(Array{0.5, 1000.0, -INFINITY, INFINITY, 7.0}));
    EXPECT_EQ(*v->find("wrapped")->as_data(), (plist::Bytes{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(*v->find("unpadded")->as_data(), (plist::Bytes{'h', 'i'}));
    // A repeated key keeps its first place and its last value.
    ASSERT_EQ(v->as_dict()->size(), 11u);
    EXPECT_EQ(v->as_dict()->begin()[9].first, "dup");
    EXPECT_EQ(*v->find("dup"), Value(2));
}

TEST(Plist, NumbersConvertOnlyWhenExact) {
    EXPECT_EQ(Value(-2.0).as_int(), -2);
    EXPECT_EQ(Value(7).as_real(), 7.0);
    for (const Value& v : {Value(2.5), Value(9223372036854775808.0), Value(NAN), Value("7"), Value(true)})
        EXPECT_FALSE(v.as_int());
}

TEST(Plist, RejectsMalformedInputWithOneLineReasons) {
    struct Case {
        std::string xml;
        std::string reason;
    };
    const std::string base64 = "<data> is not valid base64", integer = "is not an integer";
    const Case cases[] = {
        {"", "not well-formed XML"},
        {"hello", "line 1: not well-formed XML (No document element found)"},
        {"<plist><dict>", "not well-formed XML"},
        {"<array/>", "root element is <array>, expected <plist>"},
        {"<plist/>", "<plist> holds no value"},
        {"<plist><true/><true/></plist>", "more than one value"},
        {"<plist>text</plist>", "text directly inside <plist>"},
        {"<plist><true/></plist><plist><true/></plist>", "more than one root element"},
        {doc("<strin>a</strin>"), "line 4: unknown element <strin>"},
        {doc("<dict>\n<key>a</key>\n<key>b</key><true/></dict>"), "line 5: <key>a</key> has no value"},
        {doc("<dict><key>last</key></dict>"), "<key>last</key> has no value"},
        {doc("<dict><true/></dict>"), "<true> in <dict> without a <key>"},
        {doc("<array>loose</array>"), "text directly inside <array>"},
        {doc("<integer>9223372036854775808</integer>"), "fits in 64 bits"},
        {doc("<integer>-9223372036854775809</integer>"), "fits in 64 bits"},
        {doc("<integer>12abc</integer>"), integer}, {doc("<integer>+-1</integer>"), integer},
        {doc("<integer>1.5</integer>"), integer},
        {doc("<real>one</real>"), "is not a number"}, {doc("<real>1e999</real>"), "is not a number"},
        {doc("<data>aGk*</data>"), base64}, {doc("<data>aGlsb</data>"), base64}, {doc("<data>aG=k</data>"), base64},
        {doc("<date>yesterday</date>"), "is not of the form YYYY-MM-DDTHH:MM:SSZ"},
        {doc("<string><b>bold</b></string>"), "<string> cannot hold <b>"},
        {doc("<true>yes</true>"), "<true> must be empty"},
        {doc("<plist><true/></plist>"), "unknown element <plist>"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(plist::parse(c.xml, &error)) << c.xml;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.xml << "\n  gave: " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    // Without a place for the reason, still no crash.
    EXPECT_FALSE(plist::parse("<plist>", nullptr));
    const char binary[] = "<plist><string>a\0b</string></plist>";
    EXPECT_NO_FATAL_FAILURE(plist::parse(std::string_view(binary, sizeof binary - 1), nullptr));
}

std::string nested_arrays(int levels) {
    std::string s = std::string(HEADER) + "<plist>";
    for (int i = 0; i < levels; ++i) s += "<array>";
    for (int i = 0; i < levels; ++i) s += "</array>";
    return s + "</plist>";
}

TEST(Plist, RefusesNestingBeyondTheLimit) {
    std::string error;
    auto deepest = plist::parse(nested_arrays(plist::MAX_DEPTH), &error);
    ASSERT_TRUE(deepest) << error;
    EXPECT_EQ(round_trip(*deepest), *deepest);

    EXPECT_FALSE(plist::parse(nested_arrays(plist::MAX_DEPTH + 1), &error));
    EXPECT_NE(error.find("nested deeper than 512 levels"), std::string::npos) << error;

    EXPECT_FALSE(plist::parse(nested_arrays(200000), &error));
    std::string dicts = "<plist>";
    for (int i = 0; i < 200000; ++i) dicts += "<dict><key>k</key>";
    EXPECT_FALSE(plist::parse(dicts, &error));  // unterminated as well as too deep
}

class PlistFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("ombrel-plist-test-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec_);
        fs::remove_all(dir_, ec_);
    }
    std::size_t entries(const fs::path& d) {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(d), fs::directory_iterator()));
    }

    fs::path dir_;
    std::error_code ec_;
    const Value old_ = Dict({{"version", "old"}, {"size", 3}});
    const Value new_ = Dict({{"version", "new"}, {"payload", std::string(100000, 'x')}});
};

TEST_F(PlistFile, WritesThroughMissingFoldersAndReadsBack) {
    fs::path file = dir_ / "a" / "b" / "prefs.plist";
    std::string error;
    ASSERT_TRUE(plist::write_file(file, new_, &error)) << error;
    EXPECT_EQ(plist::read_file(file, &error), new_);
    EXPECT_EQ(entries(file.parent_path()), 1u) << "no temporary file may remain";

    // A rewrite keeps the user's permissions, and a link (dotfiles kept elsewhere) stays a link.
    ::chmod(file.c_str(), 0600);
    fs::create_symlink(file, dir_ / "link.plist");
    ASSERT_TRUE(plist::write_file(dir_ / "link.plist", old_, &error)) << error;
    EXPECT_TRUE(fs::is_symlink(dir_ / "link.plist"));
    EXPECT_EQ(plist::read_file(file, &error), old_);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(PlistFile, ReadErrorsNameTheFile) {
    std::string error;
    fs::create_directories(dir_);
    EXPECT_FALSE(plist::read_file(dir_ / "missing.plist", &error));
    EXPECT_NE(error.find("missing.plist"), std::string::npos) << error;
    EXPECT_FALSE(plist::read_file(dir_, &error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    std::ofstream(dir_ / "bad.plist") << doc("<dict>\n<key>a</key>\n</dict>");
    EXPECT_FALSE(plist::read_file(dir_ / "bad.plist", &error));
    EXPECT_EQ(error, (dir_ / "bad.plist").string() + ": line 5: <key>a</key> has no value");
}

// The disk fills up half-way through the new file: the old one must survive whole and no scrap remain.
TEST_F(PlistFile, FailedWriteLeavesTheOldFileIntact) {
    fs::path file = dir_ / "prefs.plist";
    ASSERT_TRUE(plist::write_file(file, old_));
    std::string before = slurp(file);

    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &small);
    std::string error;
    bool ok = plist::write_file(file, new_, &error);
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_FALSE(ok);
    EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
    EXPECT_EQ(slurp(file), before);
    EXPECT_EQ(entries(dir_), 1u);
}

}  // namespace
