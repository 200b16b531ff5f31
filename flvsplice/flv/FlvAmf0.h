#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "flvsplice/common/FlvExport.h"

// AMF0, the encoding of script-data bodies: a writer for the values the
// library puts into an onMetaData tag, and a bounded reader that walks any
// body a file may hold.

// Appends AMF0 values to a byte vector. Keys and strings are at most 65535
// bytes (every one this library writes is a literal).
class FLVSPLICE_API CFlvAmf0Writer {
public:
    // Encoded sizes, markers included.
    static constexpr size_t kNumberSize = 9;
    static constexpr size_t kBooleanSize = 2;
    static constexpr size_t kObjectStartSize = 1;
    static constexpr size_t kArrayStartSize = 5;  // ECMA or strict array: marker and count
    static constexpr size_t kObjectEndSize = 3;
    static constexpr size_t KeySize(std::string_view key) { return 2 + key.size(); }
    static constexpr size_t StringSize(std::string_view text) { return 1 + KeySize(text); }
    static constexpr size_t NumberEntrySize(std::string_view key) {
        return KeySize(key) + kNumberSize;
    }
    static constexpr size_t BooleanEntrySize(std::string_view key) {
        return KeySize(key) + kBooleanSize;
    }

    explicit CFlvAmf0Writer(std::vector<uint8_t>* out) : m_out(out) {}

    void Number(double value);
    void Boolean(bool value);
    void String(std::string_view text);
    // A property name: length and bytes, no marker.
    void Key(std::string_view key);
    void NumberEntry(std::string_view key, double value);
    void BooleanEntry(std::string_view key, bool value);
    // The count of an ECMA array is what readers are told to expect; the
    // properties follow and end with ObjectEnd, as an object's do.
    void EcmaArrayStart(uint32_t count);
    void ObjectStart();
    // count values follow, with no end marker.
    void StrictArrayStart(uint32_t count);
    void ObjectEnd();

private:
    std::vector<uint8_t>* m_out;
};

// Reads AMF0 values from a body in memory. Every read first checks that
// what it needs lies before the end: a read that fails returns false, has
// looked at nothing past the end and leaves the position where it was.
class FLVSPLICE_API CFlvAmf0Reader {
public:
    // How many levels of objects and arrays SkipValue follows by default.
    static constexpr int kMaxDepth = 32;

    CFlvAmf0Reader(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool Number(double* out);
    bool Boolean(bool* out);
    // A string value; out points into the body.
    bool String(std::string_view* out);
    // A property name; out points into the body.
    bool Key(std::string_view* out);
    // The count is only what the writer announced, not a bound.
    bool EcmaArrayStart(uint32_t* count);
    bool ObjectStart();
    // A strict array of numbers. Nothing is allocated for a count that the
    // rest of the body cannot hold.
    bool NumberArray(std::vector<double>* out);
    // True when the end marker of an object or ECMA array comes next.
    bool AtObjectEnd() const;
    bool ObjectEnd();
    // Skips one value of any type the FLV format uses (number, boolean,
    // string, object, null, undefined, reference, ECMA array, strict array,
    // date, long string). A scalar needs depth 1, each level of nesting one
    // more; deeper values are refused.
    bool SkipValue(int depth = kMaxDepth);

    size_t Remaining() const { return m_size - m_at; }

private:
    // The marker and count more bytes after it; *payload points behind the
    // marker. Consumes them when they fit.
    bool Take(uint8_t marker, size_t count, const uint8_t** payload);
    bool Skip(int depth);
    bool SkipProperties(int depth);

    const uint8_t* m_data;
    size_t m_size;
    size_t m_at = 0;
};
