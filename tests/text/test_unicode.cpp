#include "text/Unicode.h"

#include "text/Ansi.h"
#include "text/Streams.h"
#include "FileSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::vector<std::u16string> lines(const TWideStrings& list)
{
    std::vector<std::u16string> out;
    for (int i = 0; i < list.count(); ++i)
        out.push_back(list.get(i));
    return out;
}

using Lines = std::vector<std::u16string>;

void loadBytes(TWideStrings& list, const std::string& bytes, int64_t position = 0)
{
    TMemoryStream stream;
    stream.writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    stream.setPosition(position);
    list.loadFromStream(stream);
}

std::string savedBytes(TWideStrings& list)
{
    TMemoryStream stream;
    list.saveToStream(stream);
    return stream.bytes();
}

// Counts the change events a list fires.
struct EventLog {
    int changing = 0;
    int change = 0;
    void attach(TWideStringList& list)
    {
        list.onChanging = [this](TWideStrings&) { ++changing; };
        list.onChange = [this](TWideStrings&) { ++change; };
    }
};

class WideStringListFiles : public texttest::TFileFolder {};

} // namespace

// ---- loading and byte order marks

TEST(WideStringListLoad, EmptyInput)
{
    TWideStringList list;
    list.setSaveUnicode(true);
    loadBytes(list, "");
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.text(), u"");
    EXPECT_FALSE(list.saveUnicode());
}

TEST(WideStringListLoad, ByteOrderMarks)
{
    TWideStringList list;
    loadBytes(list, std::string("\xFF\xFE" "A\0\r\0\n\0", 8));
    EXPECT_EQ(lines(list), Lines{u"A"});
    EXPECT_EQ(list.text(), u"A\r\n");
    EXPECT_TRUE(list.saveUnicode());

    loadBytes(list, std::string("\xFE\xFF\0A\0\n\0B", 8));
    EXPECT_EQ(lines(list), (Lines{u"A", u"B"}));
    EXPECT_TRUE(list.saveUnicode());

    // Big-endian units above the Latin range, a surrogate pair included.
    loadBytes(list, std::string("\xFE\xFF\x04\x10\xD8\x3D\xDE\x00", 8));
    EXPECT_EQ(lines(list), Lines{u"\u0410\U0001F600"});

    loadBytes(list, "\xFF\xFE");
    EXPECT_EQ(list.count(), 0);
    EXPECT_TRUE(list.saveUnicode());

    loadBytes(list, std::string("\xFF\xFE" "A\0B", 5)); // odd last byte ignored
    EXPECT_EQ(lines(list), Lines{u"A"});

    // A UTF-32 mark reads as a UTF-16 mark followed by U+0000, which is kept
    // as a character like any other.
    loadBytes(list, std::string("\xFF\xFE\0\0A\0\0\0", 8));
    EXPECT_EQ(lines(list), Lines{std::u16string(u"\0A\0", 3)});
}

TEST(WideStringListLoad, NulIsACharacterNotTheEnd)
{
    TWideStringList list;
    loadBytes(list, std::string("<p>a\0b</p>\n<p>c</p>", 19));
    EXPECT_EQ(lines(list), (Lines{std::u16string(u"<p>a\0b</p>", 10), u"<p>c</p>"}));

    // Big-endian input is swapped to its end, past zero units.
    loadBytes(list, std::string("\xFE\xFF\0A\0\0\0B\0\n\0C", 12));
    EXPECT_EQ(lines(list), (Lines{std::u16string(u"A\0B", 3), u"C"}));
    loadBytes(list, std::string("\xFF\xFE" "A\0\0\0B\0", 8));
    EXPECT_EQ(lines(list), (Lines{std::u16string(u"A\0B", 3)}));

    // The list's own text setter still ends the text at U+0000.
    list.setText(std::u16string(u"x\0y", 3));
    EXPECT_EQ(lines(list), Lines{u"x"});
}

TEST(WideStringListLoad, EightBitInput)
{
    TWideStringList list;
    loadBytes(list, "A");
    EXPECT_EQ(lines(list), Lines{u"A"});
    EXPECT_FALSE(list.saveUnicode());

    // A UTF-8 signature is no mark: its bytes widen one by one.
    loadBytes(list, "\xEF\xBB\xBF" "abc");
    EXPECT_EQ(lines(list), Lines{u"\u00EF\u00BB\u00BFabc"});
    EXPECT_FALSE(list.saveUnicode());

    // Every byte of the system code page survives, its holes included.
    loadBytes(list, "\x80\x81\x9F\xFF");
    EXPECT_EQ(lines(list), Lines{u"\u20AC\u0081\u0178\u00FF"});

    // A lone FE or FF is no mark either.
    loadBytes(list, "\xFF" "A");
    EXPECT_EQ(lines(list), Lines{u"\u00FFA"});
}

TEST(WideStringListLoad, StartsAtTheStreamPosition)
{
    TWideStringList list;
    std::string bytes = "0123456789" + std::string("\xFF\xFE" "x\0y\0z\0w\0", 10);
    loadBytes(list, bytes, 10);
    EXPECT_EQ(lines(list), Lines{u"xyzw"});
    EXPECT_TRUE(list.saveUnicode());

    // The mark before the position is not looked at.
    bytes = std::string("\xFF\xFE", 2) + "abcdefgh" + "0123456789";
    loadBytes(list, bytes, 10);
    EXPECT_EQ(lines(list), Lines{u"0123456789"});
    EXPECT_FALSE(list.saveUnicode());

    // At or past the end: empty.
    loadBytes(list, "abc", 3);
    EXPECT_EQ(list.count(), 0);
}

TEST(WideStringListLoad, ShortStreamKeepsPreviousLinesAndClosesTheBracket)
{
    // A stream whose size promises more than it delivers.
    struct LyingStream : TStream {
        int64_t pos = 0;
        int64_t read(void* buffer, int64_t count) override
        {
            int64_t n = std::min<int64_t>(count, 3 - pos);
            if (n <= 0)
                return 0;
            std::memcpy(buffer, "abc" + pos, static_cast<size_t>(n));
            pos += n;
            return n;
        }
        int64_t write(const void*, int64_t) override { return 0; }
        int64_t seek(int64_t offset, SeekOrigin origin) override
        {
            if (origin == SeekOrigin::End)
                return 103 + offset; // claims 100 bytes it does not have
            return pos = (origin == SeekOrigin::Begin ? 0 : pos) + offset;
        }
        void setSize(int64_t) override {}
    } stream;

    TWideStringList list;
    list.add(u"keep");
    EventLog log;
    log.attach(list);
    EXPECT_THROW(list.loadFromStream(stream), EReadError);
    EXPECT_EQ(lines(list), Lines{u"keep"});
    EXPECT_EQ(log.changing, 1);
    EXPECT_EQ(log.change, 1); // the bracket was closed
    list.add(u"more");
    EXPECT_EQ(log.change, 2);
}

TEST_F(WideStringListFiles, LoadFromFile)
{
    std::string name = path("in.html");
    writeFile(name, "<p>one\r\ntwo\n");
    TWideStringList list;
    list.loadFromFile(name);
    EXPECT_EQ(lines(list), (Lines{u"<p>one", u"two"}));
    EXPECT_EQ(list.text(), u"<p>one\r\ntwo\r\n");
    list.clear();
    EXPECT_EQ(list.text(), u"");
}

// The joined text made straight from the bytes must be what splitting into
// lines and joining them gives, for every kind of break and mark.
TEST(WideStringListLoad, TextFromBytesEqualsTheJoinedLines)
{
    std::vector<std::string> inputs = {
        "", "A", "a\rb\nc\r\nd", "a\n\rb", "\r\n", "\n", "\r", "x\vy\fz", "end\r\n", "two\n\n",
        std::string("ab\0cd\n", 6), "\x85\x80\xFF", "\xEF\xBB\xBFsig",
        "\xFF\xFE", "\xFF\xFE\x41", std::string("\xFF\xFE\x41\x00\x0D\x00\x0A\x00", 8),
        std::string("\xFF\xFE\x28\x20x\0\x29\x20", 8), std::string("\xFE\xFF\x00\x41\x00\x0A\x00\x42", 8),
        std::string("\xFE\xFF\x00\x0D\x00\x0D\x00\x0A", 8), std::string("\xFF\xFE\x00\x00\x0A\x00", 6),
    };
    // Pseudo-random mixes of breaks, NULs and ordinary bytes.
    unsigned seed = 7;
    const char alphabet[] = {'a', '\r', '\n', '\v', '\f', '\0', '\x85', 'z'};
    for (int n = 0; n < 200; ++n) {
        std::string s;
        for (int i = 0; i < n % 37; ++i) {
            seed = seed * 1103515245 + 12345;
            s += alphabet[(seed >> 16) % sizeof alphabet];
        }
        inputs.push_back(s);
        inputs.push_back("\xFF\xFE" + s);
        inputs.push_back("\xFE\xFF" + s);
    }
    // Long plain runs (read eight bytes at a time) broken at every offset
    // by a break, a control, a high byte or the end.
    const char specials[] = {'\r', '\n', '\v', '\f', '\0', '\x0D', '\x0E', '\x1F', '\x7F', '\x80', '\x85', '\xFF', '\t'};
    for (char special : specials)
        for (int at = 0; at < 20; ++at) {
            std::string s(24, 'p');
            s[at] = special;
            inputs.push_back(s);
            inputs.push_back(s.substr(0, at + 1));
            inputs.push_back(s + "\r\n" + s.substr(at));
        }
    // Breaks counted sixteen bytes at a time must not overflow a count per
    // byte position: pages of thousands of line ends.
    inputs.push_back(std::string(16 * 300 + 5, '\n'));
    for (int i = 0; i < 3000; ++i)
        inputs.back() += "\r\n";
    // Files are read 64 KB at a time: a CR LF split between two pieces is
    // one break, and a CR ending a piece before another character is one too.
    for (const char* second : {"\n", "x", "\r"})
        for (int shift = -2; shift <= 1; ++shift) {
            std::string s(65535 + shift, 'a');
            s += std::string("\r") + second + "z\n" + std::string(70000, 'b') + "\r";
            inputs.push_back(s);
            // After the mark, the first piece holds units 0 to 32766.
            std::string units(32766 + shift, 'u');
            units += std::string("\r") + second + "q";
            std::string le = "\xFF\xFE", be = "\xFE\xFF";
            for (char c : units) {
                le += {c, '\0'};
                be += {'\0', c};
            }
            inputs.push_back(le);
            inputs.push_back(be);
            inputs.push_back(le + "q"); // an odd last byte
        }
    TWideStringList reused; // one list and one buffer for all inputs
    std::u16string text = u"left over";
    for (const std::string& bytes : inputs) {
        TWideStringList list;
        loadBytes(list, bytes);
        TMemoryStream stream;
        stream.writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
        stream.setPosition(0);
        reused.loadTextFromStream(stream, text);
        EXPECT_EQ(text, list.text()) << testing::PrintToString(bytes);
        EXPECT_EQ(reused.saveUnicode(), list.saveUnicode());
        EXPECT_EQ(reused.count(), 0) << "no lines are made";

        std::u16string value = ansi::widen(bytes);
        list.setText(value);
        std::u16string joined = u"old";
        TWideStrings::joinText(value, joined);
        EXPECT_EQ(joined, list.text()) << testing::PrintToString(bytes);
    }
}

TEST_F(WideStringListFiles, TextFromFileAndItsFailures)
{
    std::string name = path("in.html");
    writeFile(name, "<p>one\r\ntwo\n\x80");
    TWideStringList list;
    list.add(u"keep");
    std::u16string text;
    list.loadTextFromFile(name, text);
    EXPECT_EQ(text, u"<p>one\r\ntwo\r\n\u20AC\r\n");
    EXPECT_EQ(lines(list), Lines{u"keep"});
    try {
        list.loadTextFromFile(path("missing.html"), text);
        FAIL() << "no failure";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.errorCode, ENOENT);
    }
}

TEST_F(WideStringListFiles, LoadFromMissingFileRaisesSystemErrorAndKeepsLines)
{
    TWideStringList list;
    list.add(u"old");
    try {
        list.loadFromFile(path("missing.html"));
        FAIL() << "no failure";
    } catch (const EOSError& e) {
        EXPECT_EQ(e.errorCode, ENOENT);
        EXPECT_EQ(e.message(), "System Error.  Code: " + std::to_string(ENOENT) + ".\r\n" +
                                   systemErrorMessage(ENOENT));
        EXPECT_STREQ(e.className(), "EOSError");
    }
    EXPECT_EQ(lines(list), Lines{u"old"});

    // A directory cannot be loaded either.
    EXPECT_THROW(list.loadFromFile(dir.string()), EOSError);
    EXPECT_EQ(lines(list), Lines{u"old"});
}

TEST_F(WideStringListFiles, LoadFromPipeReadsToItsEnd)
{
    std::string name = path("fifo");
    ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        {
            std::ofstream(name, std::ios::binary) << "piped\nlines";
        }
        ::_exit(0);
    }
    TWideStringList list;
    list.loadFromFile(name);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(lines(list), (Lines{u"piped", u"lines"}));
}

// A pipe cannot tell its size: its text is read piece by piece to its end.
TEST_F(WideStringListFiles, TextFromPipeReadsToItsEnd)
{
    std::string name = path("fifo");
    ASSERT_EQ(::mkfifo(name.c_str(), 0600), 0);
    std::string content;
    for (int i = 0; i < 20000; ++i)
        content += "line " + std::to_string(i) + (i % 2 ? "\n" : "\r\n");
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        {
            std::ofstream(name, std::ios::binary) << content;
        }
        ::_exit(0);
    }
    TWideStringList list;
    std::u16string text;
    list.loadTextFromFile(name, text);
    int status = 0;
    ::waitpid(child, &status, 0);
    TWideStringList reference;
    reference.setText(ansi::widen(content));
    EXPECT_EQ(text, reference.text());
}

TEST_F(WideStringListFiles, LargeFileLoadsWhole)
{
    // 10 MB in short lines (speed is measured in bench/, not here).
    std::string name = path("big.html");
    std::string line = "<td>cell &amp; text</td>\n"; // 25 bytes
    std::string content;
    content.reserve(10 * 1024 * 1024 + line.size());
    while (content.size() < 10u * 1024 * 1024)
        content += line;
    writeFile(name, content);

    TWideStringList list;
    list.loadFromFile(name);
    std::u16string text = list.text();
    EXPECT_EQ(list.count(), static_cast<int>(content.size() / line.size()));
    EXPECT_EQ(text.size(), content.size() + static_cast<size_t>(list.count()));
}

// ---- the text setter and getter

TEST(WideStringListText, LineBreakRules)
{
    TWideStringList list;
    list.setText(u"a\rb\nc\r\nd");
    EXPECT_EQ(lines(list), (Lines{u"a", u"b", u"c", u"d"}));
    list.setText(u"a\n\rb");
    EXPECT_EQ(lines(list), (Lines{u"a", u"", u"b"}));
    list.setText(u"\r\n");
    EXPECT_EQ(lines(list), Lines{u""});
    list.setText(u"x\vy");
    EXPECT_EQ(lines(list), (Lines{u"x", u"y"}));
    list.setText(u"x\fy");
    EXPECT_EQ(lines(list), (Lines{u"x", u"y"}));
    list.setText(u"x\u2028y\u2029z");
    EXPECT_EQ(lines(list), (Lines{u"x", u"y", u"z"}));
    list.setText(u"x\u0085y");
    EXPECT_EQ(lines(list), Lines{u"x\u0085y"});
    list.setText(std::u16string(u"ab\0cd", 5));
    EXPECT_EQ(lines(list), Lines{u"ab"});
    list.setText(std::u16string(u"ab\n\0cd", 6));
    EXPECT_EQ(lines(list), Lines{u"ab"});
    list.setText(u"trailing\n");
    EXPECT_EQ(lines(list), Lines{u"trailing"});
    list.setText(u"two\n\n");
    EXPECT_EQ(lines(list), (Lines{u"two", u""}));
    list.setText(u"\n\nx");
    EXPECT_EQ(lines(list), (Lines{u"", u"", u"x"}));
    list.setText(u"");
    EXPECT_EQ(list.count(), 0);
    list.setText(std::u16string(1, u'\0'));
    EXPECT_EQ(list.count(), 0);
}

TEST(WideStringListText, GetterJoinsWithCrLfAfterEveryLine)
{
    TWideStringList list;
    EXPECT_EQ(list.text(), u"");
    list.add(u"a");
    list.add(u"");
    list.add(u"b");
    EXPECT_EQ(list.text(), u"a\r\n\r\nb\r\n");

    list.clear();
    list.add(u"");
    EXPECT_EQ(list.text(), u"\r\n");

    // Round trip through the setter.
    list.setText(u"x\ny\rz");
    TWideStringList again;
    again.setText(list.text());
    EXPECT_TRUE(again == list);
}

TEST(WideStringListText, SetTextFromAndTextCopy)
{
    TWideStringList list;
    list.setTextFrom(u"p\nq");
    EXPECT_EQ(lines(list), (Lines{u"p", u"q"}));
    auto copy = list.textCopy();
    EXPECT_EQ(std::u16string(copy.get()), u"p\r\nq\r\n");
    list.setTextFrom(nullptr);
    EXPECT_EQ(list.count(), 0);
}

// ---- saving

TEST(WideStringListSave, UnicodeAndEightBit)
{
    TWideStringList list;
    loadBytes(list, std::string("\xFE\xFF\0A\x04\x10", 6));
    EXPECT_EQ(savedBytes(list), std::string("\xFF\xFE" "A\0\x10\x04\r\0\n\0", 10));
    EXPECT_TRUE(list.saved());

    loadBytes(list, "caf\xE9\n\x80");
    EXPECT_EQ(savedBytes(list), "caf\xE9\r\n\x80\r\n");
    EXPECT_TRUE(list.saved());

    // Without a confirmation handler, what the code page lacks becomes "?".
    list.setText(u"\u0416");
    EXPECT_EQ(savedBytes(list), "?\r\n");
}

TEST(WideStringListSave, ConfirmConversionOnlyWhenSomethingWouldBeLost)
{
    TWideStringList list;
    int asked = 0;
    bool answer = false;
    list.onConfirmConversion = [&](TWideStrings& sender, bool& allowed) {
        EXPECT_EQ(&sender, &list);
        EXPECT_TRUE(allowed);
        ++asked;
        allowed = answer;
    };

    list.setText(u"x\u0100y");
    EXPECT_EQ(savedBytes(list), "");
    EXPECT_FALSE(list.saved());
    EXPECT_EQ(asked, 1);

    answer = true;
    EXPECT_EQ(savedBytes(list), "x?y\r\n");
    EXPECT_TRUE(list.saved());
    EXPECT_EQ(asked, 2);

    // The euro sign and accented letters fit the code page: no question.
    list.setText(u"\u20AC\u00E9");
    EXPECT_EQ(savedBytes(list), "\x80\xE9\r\n");
    EXPECT_EQ(asked, 2);

    // U+0080 has no place in the code page, though it is below U+0100.
    answer = false;
    list.setText(u"\u0080");
    EXPECT_EQ(savedBytes(list), "");
    EXPECT_EQ(asked, 3);

    // Unicode saving loses nothing and asks nothing.
    list.setSaveUnicode(true);
    list.setText(u"\u0100");
    EXPECT_EQ(savedBytes(list), std::string("\xFF\xFE\x00\x01\r\0\n\0", 8));
    EXPECT_EQ(asked, 3);
}

TEST_F(WideStringListFiles, SaveToFileRoundTripAndRefusalKeepsTheOldFile)
{
    std::string name = path("out.txt");
    TWideStringList list;
    list.setSaveUnicode(true);
    list.setText(u"\u0416\nB");
    list.saveToFile(name);
    EXPECT_EQ(readFile(name), std::string("\xFF\xFE\x16\x04\r\0\n\0B\0\r\0\n\0", 14));

    TWideStringList back;
    back.loadFromFile(name);
    EXPECT_TRUE(back == list);
    EXPECT_TRUE(back.saveUnicode());

    // A refused conversion must not destroy what the file held.
    back.setSaveUnicode(false);
    back.onConfirmConversion = [](TWideStrings&, bool& allowed) { allowed = false; };
    back.saveToFile(name);
    EXPECT_FALSE(back.saved());
    EXPECT_EQ(readFile(name).size(), 14u);
    back.saveToFile(path("never.txt"));
    EXPECT_FALSE(fs::exists(path("never.txt")));

    // No temporary file is left beside the target.
    int files = 0;
    for (auto& entry : fs::directory_iterator(dir)) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(WideStringListFiles, SaveToFileKeepsTheModeAndReplacesWhatALinkNames)
{
    std::string name = path("out.txt");
    writeFile(name, "old");
    ASSERT_EQ(::chmod(name.c_str(), 0640), 0);
    std::string link = path("link.txt");
    ASSERT_EQ(::symlink(name.c_str(), link.c_str()), 0);
    TWideStringList list;
    list.add(u"new");
    list.saveToFile(link);
    EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
    EXPECT_EQ(readFile(name), "new\r\n");
    struct stat st;
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(WideStringListFiles, SaveToFileIntoMissingDirectoryFails)
{
    TWideStringList list;
    list.add(u"x");
    EXPECT_THROW(list.saveToFile(path("no/such/dir.txt")), EFCreateError);
}

// ---- list operations and failures

TEST(WideStringList, IndexFailuresLeaveTheListUnchanged)
{
    TWideStringList list;
    list.add(u"a");
    list.add(u"b");
    auto expectIndexError = [](auto&& call) {
        try {
            call();
            ADD_FAILURE() << "no failure";
        } catch (const EStringListError& e) {
            EXPECT_EQ(e.message(), "List Index Error");
        }
    };
    expectIndexError([&] { list.get(2); });
    expectIndexError([&] { list.get(-1); });
    expectIndexError([&] { list.getObject(2); });
    expectIndexError([&] { list.put(2, u"x"); });
    expectIndexError([&] { list.putObject(-1, nullptr); });
    expectIndexError([&] { list.deleteAt(2); });
    expectIndexError([&] { list.exchange(0, 2); });
    expectIndexError([&] { list.insert(3, u"x"); });
    expectIndexError([&] { list.insert(-1, u"x"); });
    expectIndexError([&] { list.move(0, 2); });
    expectIndexError([&] { list.move(5, 0); });
    EXPECT_EQ(lines(list), (Lines{u"a", u"b"}));

    list.insert(2, u"c"); // at count: appends
    list.insert(0, u"0");
    EXPECT_EQ(lines(list), (Lines{u"0", u"a", u"b", u"c"}));
}

TEST(WideStringList, EditingOperations)
{
    TWideStringList list;
    int one = 1, two = 2;
    list.addObject(u"a", &one);
    list.add(u"b");
    list.addObject(u"c", &two);
    list.put(1, u"B");
    EXPECT_EQ(list.get(1), u"B");
    list.exchange(0, 2);
    EXPECT_EQ(lines(list), (Lines{u"c", u"B", u"a"}));
    EXPECT_EQ(list.getObject(0), &two);
    EXPECT_EQ(list.getObject(2), &one);
    list.move(0, 2);
    EXPECT_EQ(lines(list), (Lines{u"B", u"a", u"c"}));
    EXPECT_EQ(list.getObject(2), &two); // the object travels with its line
    list.deleteAt(0);
    EXPECT_EQ(lines(list), (Lines{u"a", u"c"}));
    EXPECT_EQ(list.getObject(0), &one);
    EXPECT_EQ(list.indexOf(u"C"), 1); // case-insensitive
    EXPECT_EQ(list.indexOf(u"zz"), -1);
}

TEST(WideStringList, CapacityGrowsByTheRule)
{
    TWideStringList list;
    EXPECT_EQ(list.capacity(), 0);
    std::vector<int> seen;
    for (int i = 0; i < 96; ++i) {
        list.add(u"x");
        if (seen.empty() || seen.back() != list.capacity())
            seen.push_back(list.capacity());
    }
    EXPECT_EQ(seen, (std::vector<int>{4, 8, 12, 28, 44, 60, 76, 95, 118}));
    list.clear();
    EXPECT_EQ(list.capacity(), 0);

    list.add(u"a");
    list.add(u"b");
    EXPECT_THROW(list.setCapacity(1), EStringListError);
    EXPECT_EQ(lines(list), (Lines{u"a", u"b"}));
    list.setCapacity(2);
    EXPECT_EQ(list.capacity(), 2);
}

TEST(WideStringList, SortedListRules)
{
    TWideStringList list;
    for (auto s : {u"pear", u"Apple", u"fig", u"banana"})
        list.add(s);
    list.setSorted(true);
    EXPECT_EQ(lines(list), (Lines{u"Apple", u"banana", u"fig", u"pear"}));

    EXPECT_EQ(list.add(u"cherry"), 2);
    EXPECT_EQ(list.add(u"APPLE"), 0); // ignored duplicate: the index found
    EXPECT_EQ(list.count(), 5);
    EXPECT_EQ(list.indexOf(u"FIG"), 3);
    EXPECT_EQ(list.indexOf(u"kiwi"), -1);
    int index = -1;
    EXPECT_FALSE(list.find(u"kiwi", index));
    EXPECT_EQ(index, 4);

    auto expectError = [&](const char* message, auto&& call) {
        try {
            call();
            ADD_FAILURE() << "no failure";
        } catch (const EStringListError& e) {
            EXPECT_EQ(e.message(), message);
        }
    };
    expectError("Sorted List Error", [&] { list.insert(0, u"z"); });
    expectError("Sorted List Error", [&] { list.put(0, u"z"); });
    expectError("Sorted List Error", [&] { list.move(0, 1); });
    list.setDuplicates(dupError);
    expectError("DuplicateString", [&] { list.add(u"Pear"); });
    EXPECT_EQ(lines(list), (Lines{u"Apple", u"banana", u"cherry", u"fig", u"pear"}));

    list.setDuplicates(dupAccept);
    list.add(u"FIG");
    EXPECT_EQ(list.count(), 6);
    EXPECT_TRUE(ansi::sameText(list.get(3), u"fig"));
    EXPECT_TRUE(ansi::sameText(list.get(4), u"fig"));

    // Setting text on a sorted list sorts the lines it adds.
    list.setDuplicates(dupIgnore);
    list.setText(u"c\nb\na\nb");
    EXPECT_EQ(lines(list), (Lines{u"a", u"b", u"c"}));
}

TEST(WideStringList, SortHandlesLargeAndDegenerateInput)
{
    // Already sorted, reversed and all-equal inputs: the worst cases of a
    // careless quicksort.
    for (int pattern = 0; pattern < 3; ++pattern) {
        TWideStringList list;
        const int n = 200000;
        for (int i = 0; i < n; ++i) {
            int v = pattern == 0 ? i : pattern == 1 ? n - i : 7;
            std::string digits = std::to_string(1000000 + v);
            list.add(std::u16string(digits.begin(), digits.end()));
        }
        list.sort();
        for (int i = 1; i < n; ++i)
            ASSERT_LE(list.get(i - 1), list.get(i)) << pattern << " at " << i;
    }
}

// ---- update brackets and events

TEST(WideStringListEvents, ChangesOutsideABracketFireBeforeAndAfter)
{
    TWideStringList list;
    EventLog log;
    std::vector<int> countsSeen;
    list.onChanging = [&](TWideStrings& l) { ++log.changing; countsSeen.push_back(l.count()); };
    list.onChange = [&](TWideStrings& l) { ++log.change; countsSeen.push_back(l.count()); };
    list.add(u"a");
    EXPECT_EQ(countsSeen, (std::vector<int>{0, 1}));
    list.deleteAt(0);
    EXPECT_EQ(log.changing, 2);
    EXPECT_EQ(log.change, 2);

    // clear of an empty list is silent
    list.clear();
    EXPECT_EQ(log.changing, 2);
    EXPECT_EQ(log.change, 2);
}

TEST(WideStringListEvents, BracketsFireOnceAndNest)
{
    TWideStringList list;
    EventLog log;
    log.attach(list);
    list.beginUpdate();
    EXPECT_EQ(log.changing, 1);
    list.beginUpdate();
    list.add(u"a");
    list.add(u"b");
    list.endUpdate();
    EXPECT_EQ(log.change, 0);
    list.endUpdate();
    EXPECT_EQ(log.changing, 1);
    EXPECT_EQ(log.change, 1);

    // Each of these runs in one bracket of its own.
    log = {};
    log.attach(list);
    list.setText(u"x\ny\nz");
    loadBytes(list, "p\nq");
    list.addStrings(std::vector<std::string>{"r", "s"});
    EXPECT_EQ(log.changing, 3);
    EXPECT_EQ(log.change, 3);

    // An unmatched endUpdate must not silence later events.
    list.endUpdate();
    list.add(u"t");
    EXPECT_EQ(log.change, 4);
}

TEST(WideStringListEvents, DestructionFiresNothing)
{
    int fired = 0;
    {
        TWideStringList list;
        list.add(u"a");
        list.onChange = [&](TWideStrings&) { ++fired; };
        list.onChanging = [&](TWideStrings&) { ++fired; };
    }
    EXPECT_EQ(fired, 0);
}

// ---- copies between lists

TEST(WideStringListCopy, AssignAndAddStrings)
{
    TWideStringList a;
    int obj = 0;
    a.addObject(u"\u20ACuro", &obj);
    a.add(u"\u0416");

    TWideStringList b;
    b.add(u"old");
    b.assign(a);
    EXPECT_TRUE(b == a);
    EXPECT_EQ(b.getObject(0), &obj);

    std::vector<std::string> narrow;
    a.assignTo(narrow);
    EXPECT_EQ(narrow, (std::vector<std::string>{"\x80uro", "?"}));

    TWideStringList c;
    c.assign(std::vector<std::string>{"\xE9t\xE9", "x"});
    EXPECT_EQ(lines(c), (Lines{u"\u00E9t\u00E9", u"x"}));

    a.assignTo(c);
    EXPECT_TRUE(c == a);

    // Copying a list onto itself keeps it; adding it to itself doubles it.
    a.assign(a);
    a.assignTo(a);
    EXPECT_EQ(a.count(), 2);
    a.addStrings(a);
    EXPECT_EQ(lines(a), (Lines{u"\u20ACuro", u"\u0416", u"\u20ACuro", u"\u0416"}));

    // Equality is exact, unlike the list's own comparisons.
    TWideStringList upper;
    upper.add(u"A");
    TWideStringList lower;
    lower.add(u"a");
    EXPECT_FALSE(upper == lower);
}
