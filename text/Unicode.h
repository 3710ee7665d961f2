// Lists of wide-text lines. Both programs read their HTML input through
// TWideStringList: loading recognises a UTF-16 byte order mark in either
// byte order and otherwise widens through the system 8-bit code page; the
// text getter joins the lines with CR LF.
#pragma once

#include "text/Errors.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TStream;

// The one kind of failure a list raises itself; the message is one of
// "List Index Error", "Sorted List Error", "DuplicateString" (and
// "List Capacity Error" for a capacity below the number of lines).
class EStringListError : public Exception {
public:
    using Exception::Exception;
    const char* className() const noexcept override { return "EStringListError"; }
};

// Locale identifier of comparisons. There is one collation here (case
// insensitive over UTF-16 units), so the value is only stored and returned.
using TLocaleId = uint32_t;
constexpr TLocaleId LOCALE_USER_DEFAULT = 0x0400;

// How a sorted list treats a line equal to one it holds.
enum TDuplicates { dupIgnore = 0, dupAccept = 1, dupError = 2 };

class TWideStrings {
public:
    using TNotifyEvent = std::function<void(TWideStrings& sender)>;
    // allowed starts true; clearing it stops the save.
    using TConfirmConversionEvent = std::function<void(TWideStrings& sender, bool& allowed)>;

    TWideStrings() = default;
    virtual ~TWideStrings() = default;
    TWideStrings(const TWideStrings&) = delete;
    TWideStrings& operator=(const TWideStrings&) = delete;

    // Copies between lists. An 8-bit list (one std::string per line, no
    // objects) converts through the system code page.
    virtual void assignTo(std::vector<std::string>& dest) const;
    virtual void assignTo(TWideStrings& dest) const;
    virtual void assign(const TWideStrings& source);
    virtual void assign(const std::vector<std::string>& source);

    virtual std::u16string get(int index) const = 0;
    virtual int capacity() const { return count(); }
    virtual int count() const = 0;
    virtual void* getObject(int index) const;
    virtual std::u16string text() const;
    virtual void put(int index, const std::u16string& s);
    virtual void putObject(int index, void* object);
    virtual void setCapacity(int newCapacity);
    virtual void setText(std::u16string_view value);
    virtual void setUpdateState(bool updating);
    virtual void setLanguage(TLocaleId locale) { language_ = locale; }
    virtual int add(std::u16string s);
    virtual int addObject(const std::u16string& s, void* object);
    virtual void addStrings(const std::vector<std::string>& strings);
    virtual void addStrings(const TWideStrings& strings);
    virtual void clear() = 0;
    virtual void deleteAt(int index) = 0;
    virtual void exchange(int index1, int index2);
    // A zero-terminated copy of text; the caller owns it.
    virtual std::unique_ptr<char16_t[]> textCopy() const;
    virtual int indexOf(const std::u16string& s) const;
    virtual void insert(int index, std::u16string s) = 0;
    // EOSError (the system's error code and message) when the file cannot
    // be opened or read; the list then keeps its lines.
    virtual void loadFromFile(const std::string& fileName);
    // Reads from the current position to the end of the stream.
    virtual void loadFromStream(TStream& stream);
    virtual void move(int curIndex, int newIndex);
    virtual void saveToFile(const std::string& fileName);
    virtual void saveToStream(TStream& stream);
    virtual void setTextFrom(const char16_t* buffer);

    // What text() gives after loadFromFile / loadFromStream, made straight
    // from the bytes into text (whose storage is reused) without making
    // lines. The lines stay as they are; saveUnicode is set as a load sets
    // it. The same failures as the loads.
    void loadTextFromFile(const std::string& fileName, std::u16string& text);
    void loadTextFromStream(TStream& stream, std::u16string& text);
    // What text() gives after setText(value), into text.
    static void joinText(std::u16string_view value, std::u16string& text);

    void beginUpdate();
    void endUpdate();
    // Same count and the same lines, unit for unit; objects ignored.
    bool equals(const TWideStrings& other) const;
    bool operator==(const TWideStrings& other) const { return equals(other); }

    TLocaleId language() const { return language_; }
    bool saved() const { return saved_; }
    bool saveUnicode() const { return saveUnicode_; }
    void setSaveUnicode(bool value) { saveUnicode_ = value; }

    TConfirmConversionEvent onConfirmConversion;

protected:
    // Splits the value into lines; with stopAtNul the text ends at its first
    // U+0000, as setText describes, otherwise a U+0000 is a character.
    void setLines(std::u16string_view value, bool stopAtNul);
    [[noreturn]] static void error(const char* message);
    // Case-insensitive, consistent order of two lines: <0, 0, >0.
    int compareStrings(std::u16string_view a, std::u16string_view b) const;
    int updateCount() const { return updateCount_; }

private:
    int32_t updateCount_ = 0;
    TLocaleId language_ = LOCALE_USER_DEFAULT;
    bool saved_ = false;
    bool saveUnicode_ = false;
};

struct TWideStringItem {
    std::u16string string;
    void* object = nullptr; // never owned by the list
};
using TWideStringItemList = std::vector<TWideStringItem>;

class TWideStringList : public TWideStrings {
public:
    TWideStringList() = default;
    ~TWideStringList() override;

    std::u16string get(int index) const override;
    int capacity() const override { return static_cast<int>(items_.size()); }
    int count() const override { return count_; }
    void* getObject(int index) const override;
    void put(int index, const std::u16string& s) override;
    void putObject(int index, void* object) override;
    void setCapacity(int newCapacity) override;
    void setUpdateState(bool updating) override;
    std::u16string text() const override;
    int add(std::u16string s) override;
    void clear() override;
    void deleteAt(int index) override;
    void exchange(int index1, int index2) override;
    int indexOf(const std::u16string& s) const override;
    void insert(int index, std::u16string s) override;
    void move(int curIndex, int newIndex) override;

    virtual void changed();
    virtual void changing();
    // Binary search of a sorted list: true when an equal line exists;
    // index gets its position, or where s belongs.
    virtual bool find(const std::u16string& s, int& index) const;
    virtual void sort();

    bool sorted() const { return sorted_; }
    // Turning sorting on sorts the lines.
    void setSorted(bool value);
    TDuplicates duplicates() const { return duplicates_; }
    void setDuplicates(TDuplicates value) { duplicates_ = value; }

    TNotifyEvent onChange;
    TNotifyEvent onChanging;

private:
    void checkIndex(int index, int limit) const;
    void grow();
    void insertItem(int index, std::u16string s);
    void quickSort(int left, int right);

    TWideStringItemList items_; // size() is the capacity
    int32_t count_ = 0;
    bool sorted_ = false;
    TDuplicates duplicates_ = dupIgnore;
};
