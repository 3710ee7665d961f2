#include "text/Unicode.h"

#include "text/Ansi.h"
#include "text/Streams.h"
#include "text/TempFiles.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace {

// Keeps an update bracket open for one scope, closing it also when a
// failure leaves the scope.
class UpdateBracket {
public:
    explicit UpdateBracket(TWideStrings& list) : list_(list) { list_.beginUpdate(); }
    ~UpdateBracket() { list_.endUpdate(); }
    UpdateBracket(const UpdateBracket&) = delete;
    UpdateBracket& operator=(const UpdateBracket&) = delete;

private:
    TWideStrings& list_;
};

bool isLineBreak(char16_t c)
{
    return c == 0x000A || c == 0x000B || c == 0x000C || c == 0x000D || c == 0x2028 || c == 0x2029;
}

// The rest of the stream from its position, in one read where the size is
// known; a stream that cannot tell its size (a pipe) is read to its end.
std::string readRest(TStream& stream)
{
    std::string bytes;
    int64_t pos = stream.position();
    int64_t size = pos < 0 ? -1 : stream.size();
    if (pos >= 0 && size >= 0) {
        int64_t n = std::max<int64_t>(size - pos, 0);
        if (static_cast<uint64_t>(n) > bytes.max_size())
            throw std::bad_alloc();
        bytes.resize(static_cast<size_t>(n));
        stream.readBuffer(bytes.data(), n);
        return bytes;
    }
    char chunk[65536];
    for (;;) {
        int64_t got = stream.read(chunk, sizeof chunk);
        if (got <= 0)
            break;
        bytes.append(chunk, static_cast<size_t>(got));
    }
    return bytes;
}

// The text that splitting units into lines and joining them again gives,
// made in one pass from pieces handed over one after another: every line
// break (CR LF counts as one, also when the CR ends one piece and the LF
// starts the next) becomes CR LF, and a last line without a break gets one.
class TLineJoiner {
public:
    // text's storage is reused; expected: the units to come where known,
    // for which room is made at once.
    TLineJoiner(std::u16string& text, std::size_t expected) : text_(text)
    {
        text_.clear();
        // Room for a break every 16 units; a page with more grows once or twice.
        if (expected > 0)
            text_.reserve(expected + expected / 16 + 2);
    }

    // n units, unit(i) the i-th; with stopAtNul the text ends at its first
    // U+0000 (a text handed over in one piece).
    template <class Unit>
    void add(std::size_t n, Unit unit, bool stopAtNul)
    {
        std::size_t i = skipPairedLineFeed(n, unit);
        std::size_t breaks = 0;
        for (std::size_t k = i; k < n; ++k)
            breaks += isLineBreak(unit(k)) ? 1 : 0;
        char16_t* const first = room(n - i + breaks);
        char16_t* out = first;
        while (i < n) {
            const char16_t c = unit(i++);
            if (c > 0x000D && c < 0x2028) {
                *out++ = c;
                lineOpen_ = true;
            } else if (isLineBreak(c)) {
                if (c == u'\r')
                    i = pairLineFeed(i, n, unit);
                *out++ = u'\r';
                *out++ = u'\n';
                lineOpen_ = false;
            } else if (c == 0 && stopAtNul) {
                break;
            } else {
                *out++ = c;
                lineOpen_ = true;
            }
        }
        out_ += static_cast<std::size_t>(out - first);
    }

    // n bytes of 8-bit text through a code page table that keeps the bytes
    // below 0x80 as they are. Runs of printable ASCII, most of any page, are
    // widened eight bytes at a time.
    void addCodePage(const unsigned char* b, std::size_t n, const std::array<char16_t, 256>& table)
    {
        std::size_t i = skipPairedLineFeed(n, [b](std::size_t k) { return static_cast<char16_t>(b[k]); });
        char16_t* const first = room(n - i + countCodePageBreaks(b + i, n - i));
        char16_t* out = first;
        constexpr std::uint64_t ones = 0x0101010101010101ull;
        constexpr std::uint64_t highs = 0x8080808080808080ull;
        while (i < n) {
#ifdef __SSE2__
            // Sixteen bytes from 0x0E to 0x7F (as signed bytes, those above
            // 0x7F are below 0x0E too) widen in two stores.
            if (i + 16 <= n) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
                if (_mm_movemask_epi8(_mm_cmplt_epi8(v, _mm_set1_epi8(0x0E))) == 0) {
                    const __m128i zero = _mm_setzero_si128();
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
                    out += 16;
                    i += 16;
                    lineOpen_ = true;
                    continue;
                }
            }
#endif
            std::uint64_t v;
            // Eight bytes none of which is below 0x0E or above 0x7F.
            if (i + 8 <= n && (std::memcpy(&v, b + i, 8), ((v | ((v - 0x0E * ones) & ~v)) & highs) == 0)) {
                for (int k = 0; k < 8; ++k)
                    out[k] = b[i + k];
                out += 8;
                i += 8;
                lineOpen_ = true;
                continue;
            }
            const char16_t c = table[b[i++]];
            if (c > 0x000D) {
                *out++ = c;
                lineOpen_ = true;
            } else if (c >= 0x000A) {
                if (c == u'\r')
                    i = pairLineFeed(i, n, [b](std::size_t k) { return static_cast<char16_t>(b[k]); });
                *out++ = u'\r';
                *out++ = u'\n';
                lineOpen_ = false;
            } else {
                *out++ = c;
                lineOpen_ = true;
            }
        }
        out_ += static_cast<std::size_t>(out - first);
    }

    // Closes the last line; the text is then complete.
    void finish()
    {
        if (lineOpen_) {
            room(2);
            text_[out_++] = u'\r';
            text_[out_++] = u'\n';
        }
        text_.resize(out_);
    }

private:
    // Where the next units go, with room for at most n of them.
    char16_t* room(std::size_t n)
    {
        if (text_.size() < out_ + n)
            text_.resize(out_ + n);
        return text_.data() + out_;
    }

    // Past the LF that completes a CR ending the last piece.
    template <class Unit>
    std::size_t skipPairedLineFeed(std::size_t n, Unit unit)
    {
        const bool skip = afterCr_ && n > 0 && unit(0) == u'\n';
        if (n > 0)
            afterCr_ = false;
        return skip ? 1 : 0;
    }

    // After a CR at i - 1: past the LF that pairs with it, or, at the end of
    // the piece, noted for the next one.
    template <class Unit>
    std::size_t pairLineFeed(std::size_t i, std::size_t n, Unit unit)
    {
        if (i == n)
            afterCr_ = true;
        else if (unit(i) == u'\n')
            ++i;
        return i;
    }

    // The bytes 0x0A-0x0D: the only breaks, since the tables map no byte to
    // U+2028 or U+2029.
    static std::size_t countCodePageBreaks(const unsigned char* b, std::size_t n)
    {
        std::size_t breaks = 0;
        std::size_t counted = 0;
#ifdef __SSE2__
        // Sixteen bytes at a time: b - 0x0A below 4, as unsigned bytes.
        const __m128i lineFeed = _mm_set1_epi8(0x0A);
        const __m128i three = _mm_set1_epi8(3);
        // Each byte lane counts its breaks (a match is -1, subtracted), and
        // the lanes are summed before any of them can pass 255.
        while (counted + 16 <= n) {
            const std::size_t blocks = std::min<std::size_t>((n - counted) / 16, 255);
            __m128i lanes = _mm_setzero_si128();
            for (std::size_t k = 0; k < blocks; ++k, counted += 16) {
                const __m128i d =
                    _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(b + counted)), lineFeed);
                lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(_mm_min_epu8(d, three), d));
            }
            const __m128i sums = _mm_sad_epu8(lanes, _mm_setzero_si128());
            breaks += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                      static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
        }
#endif
        for (std::size_t i = counted; i < n; ++i)
            breaks += static_cast<unsigned char>(b[i] - 0x0A) < 4 ? 1 : 0;
        return breaks;
    }

    std::u16string& text_;
    std::size_t out_ = 0; // units written; text_ may be longer, with room
    bool lineOpen_ = false;
    bool afterCr_ = false;
};

// The loader reads a file a piece at a time, so that a page's bytes never
// stand beside its text. The buffer is freed after each load: from the
// heap, the same memory can then serve the writer, which comes next.
constexpr std::size_t kLoadPiece = 64 * 1024;

// Fills buffer from the stream up to count bytes or its end; the bytes read.
std::size_t readPiece(TStream& stream, char* buffer, std::size_t count)
{
    std::size_t got = 0;
    while (got < count) {
        const int64_t n = stream.read(buffer + got, static_cast<int64_t>(count - got));
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

} // namespace

// ---------------------------------------------------------------- TWideStrings

void TWideStrings::error(const char* message)
{
    throw EStringListError(message);
}

int TWideStrings::compareStrings(std::u16string_view a, std::u16string_view b) const
{
    return ansi::compareText(a, b);
}

void TWideStrings::assignTo(std::vector<std::string>& dest) const
{
    std::vector<std::string> lines;
    lines.reserve(static_cast<size_t>(count()));
    for (int i = 0; i < count(); ++i)
        lines.push_back(ansi::narrow(get(i)));
    dest = std::move(lines);
}

void TWideStrings::assignTo(TWideStrings& dest) const
{
    if (&dest == this)
        return; // clearing first would lose every line
    UpdateBracket bracket(dest);
    dest.clear();
    dest.addStrings(*this);
}

void TWideStrings::assign(const TWideStrings& source)
{
    if (&source == this)
        return;
    UpdateBracket bracket(*this);
    clear();
    for (int i = 0; i < source.count(); ++i)
        addObject(source.get(i), source.getObject(i));
}

void TWideStrings::assign(const std::vector<std::string>& source)
{
    UpdateBracket bracket(*this);
    clear();
    for (const std::string& line : source)
        addObject(ansi::widen(line), nullptr);
}

void* TWideStrings::getObject(int) const
{
    return nullptr;
}

std::u16string TWideStrings::text() const
{
    const int n = count();
    std::vector<std::u16string> lines;
    lines.reserve(static_cast<size_t>(n));
    size_t length = 0;
    for (int i = 0; i < n; ++i) {
        lines.push_back(get(i));
        length += lines.back().size() + 2;
    }
    std::u16string result;
    result.reserve(length);
    for (const std::u16string& line : lines) {
        result += line;
        result += u"\r\n";
    }
    return result;
}

void TWideStrings::put(int index, const std::u16string& s)
{
    void* object = getObject(index);
    deleteAt(index);
    insert(index, s);
    putObject(index, object);
}

void TWideStrings::putObject(int, void*) {}

void TWideStrings::setCapacity(int) {}

void TWideStrings::setText(std::u16string_view value)
{
    setLines(value, true);
}

void TWideStrings::setLines(std::u16string_view value, bool stopAtNul)
{
    UpdateBracket bracket(*this);
    clear();
    const size_t n = value.size();
    size_t p = 0;
    while (p < n && !(stopAtNul && value[p] == 0)) {
        size_t start = p;
        while (p < n && !isLineBreak(value[p]) && !(stopAtNul && value[p] == 0))
            ++p;
        add(std::u16string(value.substr(start, p - start)));
        if (p >= n || (stopAtNul && value[p] == 0))
            break;
        char16_t brk = value[p++];
        if (brk == u'\r' && p < n && value[p] == u'\n')
            ++p;
    }
}

void TWideStrings::setUpdateState(bool) {}

int TWideStrings::add(std::u16string s)
{
    int index = count();
    insert(index, std::move(s));
    return index;
}

int TWideStrings::addObject(const std::u16string& s, void* object)
{
    int index = add(s);
    putObject(index, object);
    return index;
}

void TWideStrings::addStrings(const std::vector<std::string>& strings)
{
    UpdateBracket bracket(*this);
    for (const std::string& line : strings)
        addObject(ansi::widen(line), nullptr);
}

void TWideStrings::addStrings(const TWideStrings& strings)
{
    UpdateBracket bracket(*this);
    const int n = strings.count(); // once: adding a list to itself doubles it
    for (int i = 0; i < n; ++i)
        addObject(strings.get(i), strings.getObject(i));
}

void TWideStrings::exchange(int index1, int index2)
{
    UpdateBracket bracket(*this);
    std::u16string text1 = get(index1);
    void* object1 = getObject(index1);
    put(index1, get(index2));
    putObject(index1, getObject(index2));
    put(index2, text1);
    putObject(index2, object1);
}

std::unique_ptr<char16_t[]> TWideStrings::textCopy() const
{
    std::u16string s = text();
    auto buffer = std::make_unique<char16_t[]>(s.size() + 1);
    std::copy(s.begin(), s.end(), buffer.get());
    buffer[s.size()] = 0;
    return buffer;
}

int TWideStrings::indexOf(const std::u16string& s) const
{
    for (int i = 0; i < count(); ++i)
        if (compareStrings(get(i), s) == 0)
            return i;
    return -1;
}

namespace {

// Opens a file for reading and hands it to read. Whatever went wrong is
// reported as the operating-system failure behind it, with its code and the
// system's message.
template <class Read>
void readFile(const std::string& fileName, Read read)
{
    try {
        errno = 0;
        TFileStream file(fileName, fmOpenRead);
        read(file);
    } catch (const EFOpenError& e) {
        throw EOSError::fromCode(e.errorCode);
    } catch (const EOSError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw EOSError::fromCode(ENOMEM);
    } catch (const Exception&) {
        throw EOSError::fromCode(errno);
    }
}

} // namespace

void TWideStrings::loadFromFile(const std::string& fileName)
{
    readFile(fileName, [this](TStream& file) { loadFromStream(file); });
}

void TWideStrings::loadFromStream(TStream& stream)
{
    UpdateBracket bracket(*this);
    const std::string bytes = readRest(stream);
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const bool littleMark = bytes.size() >= 2 && b[0] == 0xFF && b[1] == 0xFE;
    const bool bigMark = bytes.size() >= 2 && b[0] == 0xFE && b[1] == 0xFF;
    if (littleMark || bigMark) {
        saveUnicode_ = true;
        const size_t units = (bytes.size() - 2) / 2; // an odd last byte is ignored
        std::u16string text(units, u'\0');
        for (size_t i = 0; i < units; ++i) {
            unsigned lo = b[2 + 2 * i], hi = b[3 + 2 * i];
            if (bigMark)
                std::swap(lo, hi);
            text[i] = static_cast<char16_t>(lo | (hi << 8));
        }
        setLines(text, false);
    } else {
        saveUnicode_ = false;
        setLines(ansi::widen(bytes), false);
    }
}

void TWideStrings::loadTextFromFile(const std::string& fileName, std::u16string& text)
{
    readFile(fileName, [this, &text](TStream& file) { loadTextFromStream(file, text); });
}

void TWideStrings::loadTextFromStream(TStream& stream, std::u16string& text)
{
    // The bytes to come, where the stream can tell.
    const int64_t pos = stream.position();
    const int64_t size = pos < 0 ? -1 : stream.size();
    const std::size_t expected = size > pos ? static_cast<std::size_t>(size - pos) : 0;
    // A small file is read in one piece of its size (and a read that finds the end).
    const std::size_t piece = expected > 0 ? std::min(expected + 1, kLoadPiece) : kLoadPiece;
    const std::unique_ptr<char[]> bytes(new char[piece]);
    char* const buffer = bytes.get();
    std::size_t got = readPiece(stream, buffer, piece);
    const auto* b = reinterpret_cast<const unsigned char*>(buffer);
    const bool littleMark = got >= 2 && b[0] == 0xFF && b[1] == 0xFE;
    const bool bigMark = got >= 2 && b[0] == 0xFE && b[1] == 0xFF;
    if (littleMark || bigMark) {
        saveUnicode_ = true;
        TLineJoiner joiner(text, expected / 2);
        std::size_t from = 2;
        for (;;) {
            const unsigned char* u = b + from;
            const std::size_t units = (got - from) / 2;
            if (bigMark)
                joiner.add(units, [u](std::size_t i) { return static_cast<char16_t>(u[2 * i + 1] | (u[2 * i] << 8)); },
                           false);
            else
                joiner.add(units, [u](std::size_t i) { return static_cast<char16_t>(u[2 * i] | (u[2 * i + 1] << 8)); },
                           false);
            // An odd byte waits for its pair; one left at the end is ignored.
            const bool odd = (got - from) % 2 != 0;
            if (odd)
                buffer[0] = buffer[got - 1];
            from = 0;
            const std::size_t kept = odd ? 1 : 0;
            const std::size_t more = readPiece(stream, buffer + kept, piece - kept);
            if (more == 0)
                break;
            got = kept + more;
        }
        joiner.finish();
    } else {
        saveUnicode_ = false;
        // The code page through a table: a call per byte would cost more
        // than the rest of the pass.
        static const auto table = [] {
            std::array<char16_t, 256> units{};
            for (unsigned byte = 0; byte < 256; ++byte)
                units[byte] = ansi::widenByte(static_cast<unsigned char>(byte));
            return units;
        }();
        TLineJoiner joiner(text, expected);
        while (got > 0) {
            joiner.addCodePage(b, got, table);
            got = readPiece(stream, buffer, piece);
        }
        joiner.finish();
    }
}

void TWideStrings::joinText(std::u16string_view value, std::u16string& text)
{
    TLineJoiner joiner(text, value.size());
    joiner.add(value.size(), [value](std::size_t i) { return value[i]; }, true);
    joiner.finish();
}

void TWideStrings::move(int curIndex, int newIndex)
{
    if (curIndex == newIndex)
        return;
    // Both positions are checked before anything changes, so a bad target
    // cannot lose the line already taken out.
    if (curIndex < 0 || curIndex >= count() || newIndex < 0 || newIndex >= count())
        error("List Index Error");
    UpdateBracket bracket(*this);
    std::u16string s = get(curIndex);
    void* object = getObject(curIndex);
    deleteAt(curIndex);
    insert(newIndex, std::move(s));
    putObject(newIndex, object);
}

void TWideStrings::saveToFile(const std::string& fileName)
{
    // Saved to memory first: a save the user refuses, or one that fails,
    // leaves an existing file as it was.
    TMemoryStream buffer;
    saveToStream(buffer);
    if (!saved_)
        return;
    ReplaceFileContent(fileName, buffer.bytes());
}

void TWideStrings::saveToStream(TStream& stream)
{
    const std::u16string s = text();
    bool allowed = true;
    saved_ = false;
    if (!saveUnicode_ && onConfirmConversion) {
        // Ask only when the 8-bit code page would lose a character.
        char dummy;
        bool lossy = std::any_of(s.begin(), s.end(),
                                 [&](char16_t c) { return c == 0 || !ansi::narrowUnit(c, dummy); });
        if (lossy)
            onConfirmConversion(*this, allowed);
    }
    if (!allowed)
        return;
    if (saveUnicode_) {
        std::string bytes;
        bytes.resize(2 + 2 * s.size());
        bytes[0] = static_cast<char>(0xFF);
        bytes[1] = static_cast<char>(0xFE);
        for (size_t i = 0; i < s.size(); ++i) {
            bytes[2 + 2 * i] = static_cast<char>(s[i] & 0xFF);
            bytes[3 + 2 * i] = static_cast<char>(s[i] >> 8);
        }
        stream.writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    } else {
        std::string bytes = ansi::narrow(s);
        stream.writeBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    }
    saved_ = true;
}

void TWideStrings::setTextFrom(const char16_t* buffer)
{
    setText(buffer ? std::u16string_view(buffer) : std::u16string_view());
}

void TWideStrings::beginUpdate()
{
    if (updateCount_ == 0)
        setUpdateState(true);
    ++updateCount_;
}

void TWideStrings::endUpdate()
{
    // An endUpdate without its beginUpdate would otherwise silence every
    // later change event for good.
    if (updateCount_ <= 0)
        return;
    --updateCount_;
    if (updateCount_ == 0)
        setUpdateState(false);
}

bool TWideStrings::equals(const TWideStrings& other) const
{
    if (count() != other.count())
        return false;
    for (int i = 0; i < count(); ++i)
        if (get(i) != other.get(i))
            return false;
    return true;
}

// ------------------------------------------------------------- TWideStringList

TWideStringList::~TWideStringList()
{
    // Destruction reports nothing.
    onChange = nullptr;
    onChanging = nullptr;
}

void TWideStringList::checkIndex(int index, int last) const
{
    if (index < 0 || index > last)
        error("List Index Error");
}

std::u16string TWideStringList::get(int index) const
{
    checkIndex(index, count_ - 1);
    return items_[static_cast<size_t>(index)].string;
}

void* TWideStringList::getObject(int index) const
{
    checkIndex(index, count_ - 1);
    return items_[static_cast<size_t>(index)].object;
}

void TWideStringList::put(int index, const std::u16string& s)
{
    if (sorted_)
        error("Sorted List Error");
    checkIndex(index, count_ - 1);
    changing();
    items_[static_cast<size_t>(index)].string = s;
    changed();
}

void TWideStringList::putObject(int index, void* object)
{
    checkIndex(index, count_ - 1);
    changing();
    items_[static_cast<size_t>(index)].object = object;
    changed();
}

void TWideStringList::setCapacity(int newCapacity)
{
    // Fewer slots than lines would drop lines while count still claims them.
    if (newCapacity < count_)
        error("List Capacity Error");
    items_.resize(static_cast<size_t>(newCapacity));
}

std::u16string TWideStringList::text() const
{
    // The inherited getter's result, without copying every line twice.
    size_t length = 0;
    for (int i = 0; i < count_; ++i)
        length += items_[static_cast<size_t>(i)].string.size() + 2;
    std::u16string result;
    result.reserve(length);
    for (int i = 0; i < count_; ++i) {
        result += items_[static_cast<size_t>(i)].string;
        result += u"\r\n";
    }
    return result;
}

void TWideStringList::setUpdateState(bool updating)
{
    if (updating)
        changing();
    else
        changed();
}

int TWideStringList::add(std::u16string s)
{
    int index = count_;
    if (sorted_ && find(s, index)) {
        if (duplicates_ == dupIgnore)
            return index;
        if (duplicates_ == dupError)
            error("DuplicateString");
    }
    insertItem(index, std::move(s));
    return index;
}

void TWideStringList::clear()
{
    if (count_ == 0)
        return;
    changing();
    TWideStringItemList().swap(items_);
    count_ = 0;
    changed();
}

void TWideStringList::deleteAt(int index)
{
    checkIndex(index, count_ - 1);
    changing();
    auto first = items_.begin() + index;
    std::move(first + 1, items_.begin() + count_, first);
    items_[static_cast<size_t>(count_ - 1)] = TWideStringItem();
    --count_;
    changed();
}

void TWideStringList::exchange(int index1, int index2)
{
    checkIndex(index1, count_ - 1);
    checkIndex(index2, count_ - 1);
    changing();
    std::swap(items_[static_cast<size_t>(index1)], items_[static_cast<size_t>(index2)]);
    changed();
}

int TWideStringList::indexOf(const std::u16string& s) const
{
    if (!sorted_)
        return TWideStrings::indexOf(s);
    int index;
    return find(s, index) ? index : -1;
}

void TWideStringList::insert(int index, std::u16string s)
{
    if (sorted_)
        error("Sorted List Error");
    checkIndex(index, count_);
    insertItem(index, std::move(s));
}

void TWideStringList::move(int curIndex, int newIndex)
{
    // Taking a line out of a sorted list and inserting it elsewhere would
    // fail half-way and lose the line.
    if (curIndex != newIndex && sorted_)
        error("Sorted List Error");
    TWideStrings::move(curIndex, newIndex);
}

void TWideStringList::grow()
{
    int cap = capacity();
    int delta = cap > 64 ? cap / 4 : cap > 8 ? 16 : 4;
    if (cap > INT_MAX - delta)
        error("List Capacity Error");
    setCapacity(cap + delta);
}

void TWideStringList::insertItem(int index, std::u16string s)
{
    changing();
    if (count_ == capacity())
        grow();
    auto at = items_.begin() + index;
    std::move_backward(at, items_.begin() + count_, items_.begin() + count_ + 1);
    *at = TWideStringItem{std::move(s), nullptr};
    ++count_;
    changed();
}

void TWideStringList::changed()
{
    if (updateCount() == 0 && onChange)
        onChange(*this);
}

void TWideStringList::changing()
{
    if (updateCount() == 0 && onChanging)
        onChanging(*this);
}

bool TWideStringList::find(const std::u16string& s, int& index) const
{
    bool found = false;
    int low = 0;
    int high = count_ - 1;
    while (low <= high) {
        int mid = low + (high - low) / 2;
        int c = compareStrings(items_[static_cast<size_t>(mid)].string, s);
        if (c < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
            if (c == 0) {
                found = true;
                if (duplicates_ != dupAccept)
                    low = mid;
            }
        }
    }
    index = low;
    return found;
}

void TWideStringList::sort()
{
    if (sorted_ || count_ < 2)
        return;
    changing();
    quickSort(0, count_ - 1);
    changed();
}

void TWideStringList::setSorted(bool value)
{
    if (value == sorted_)
        return;
    if (value)
        sort();
    sorted_ = value;
}

void TWideStringList::quickSort(int left, int right)
{
    // Recurses into the smaller part only and loops over the larger one, so
    // the depth stays logarithmic whatever the input.
    while (left < right) {
        int i = left;
        int j = right;
        int pivot = left + (right - left) / 2;
        do {
            while (compareStrings(items_[static_cast<size_t>(i)].string, items_[static_cast<size_t>(pivot)].string) < 0)
                ++i;
            while (compareStrings(items_[static_cast<size_t>(j)].string, items_[static_cast<size_t>(pivot)].string) > 0)
                --j;
            if (i <= j) {
                std::swap(items_[static_cast<size_t>(i)], items_[static_cast<size_t>(j)]);
                if (pivot == i)
                    pivot = j;
                else if (pivot == j)
                    pivot = i;
                ++i;
                --j;
            }
        } while (i <= j);
        if (j - left < right - i) {
            if (left < j)
                quickSort(left, j);
            left = i;
        } else {
            if (i < right)
                quickSort(i, right);
            right = j;
        }
    }
}
