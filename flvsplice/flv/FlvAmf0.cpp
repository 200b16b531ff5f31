#include "flvsplice/flv/FlvAmf0.h"

#include "flvsplice/common/ByteOrder.h"

namespace {

constexpr uint8_t kNumber = 0x00;
constexpr uint8_t kBoolean = 0x01;
constexpr uint8_t kString = 0x02;
constexpr uint8_t kObject = 0x03;
constexpr uint8_t kNull = 0x05;
constexpr uint8_t kUndefined = 0x06;
constexpr uint8_t kReference = 0x07;
constexpr uint8_t kEcmaArray = 0x08;
constexpr uint8_t kObjectEnd = 0x09;
constexpr uint8_t kStrictArray = 0x0A;
constexpr uint8_t kDate = 0x0B;
constexpr uint8_t kLongString = 0x0C;

}  // namespace

// ---- writer -------------------------------------------------------------

void CFlvAmf0Writer::Number(double value) {
    uint8_t bytes[kNumberSize] = {kNumber};
    flvbytes::WriteBEDouble(bytes + 1, value);
    m_out->insert(m_out->end(), bytes, bytes + sizeof bytes);
}

void CFlvAmf0Writer::Boolean(bool value) {
    m_out->insert(m_out->end(), {kBoolean, uint8_t(value ? 1 : 0)});
}

void CFlvAmf0Writer::String(std::string_view text) {
    m_out->push_back(kString);
    Key(text);
}

void CFlvAmf0Writer::Key(std::string_view key) {
    uint8_t length[2];
    flvbytes::WriteBE16(length, static_cast<uint32_t>(key.size()));
    m_out->insert(m_out->end(), length, length + 2);
    m_out->insert(m_out->end(), key.begin(), key.end());
}

void CFlvAmf0Writer::NumberEntry(std::string_view key, double value) {
    Key(key);
    Number(value);
}

void CFlvAmf0Writer::BooleanEntry(std::string_view key, bool value) {
    Key(key);
    Boolean(value);
}

namespace {

void ArrayStart(std::vector<uint8_t>* out, uint8_t marker, uint32_t count) {
    uint8_t bytes[CFlvAmf0Writer::kArrayStartSize] = {marker};
    flvbytes::WriteBE32(bytes + 1, count);
    out->insert(out->end(), bytes, bytes + sizeof bytes);
}

}  // namespace

void CFlvAmf0Writer::EcmaArrayStart(uint32_t count) { ArrayStart(m_out, kEcmaArray, count); }
void CFlvAmf0Writer::StrictArrayStart(uint32_t count) { ArrayStart(m_out, kStrictArray, count); }
void CFlvAmf0Writer::ObjectStart() { m_out->push_back(kObject); }
void CFlvAmf0Writer::ObjectEnd() { m_out->insert(m_out->end(), {0x00, 0x00, kObjectEnd}); }

// ---- reader -------------------------------------------------------------

bool CFlvAmf0Reader::Take(uint8_t marker, size_t count, const uint8_t** payload) {
    if (Remaining() < 1 + count || m_data[m_at] != marker) return false;
    *payload = m_data + m_at + 1;
    m_at += 1 + count;
    return true;
}

bool CFlvAmf0Reader::Number(double* out) {
    const uint8_t* p = nullptr;
    if (!Take(kNumber, 8, &p)) return false;
    *out = flvbytes::ReadBEDouble(p);
    return true;
}

bool CFlvAmf0Reader::Boolean(bool* out) {
    const uint8_t* p = nullptr;
    if (!Take(kBoolean, 1, &p)) return false;
    *out = *p != 0;
    return true;
}

bool CFlvAmf0Reader::Key(std::string_view* out) {
    if (Remaining() < 2) return false;
    const uint32_t length = flvbytes::ReadBE16(m_data + m_at);
    if (Remaining() - 2 < length) return false;
    *out = std::string_view(reinterpret_cast<const char*>(m_data + m_at + 2), length);
    m_at += 2 + length;
    return true;
}

bool CFlvAmf0Reader::String(std::string_view* out) {
    const uint8_t* p = nullptr;
    if (!Take(kString, 0, &p)) return false;
    if (Key(out)) return true;
    --m_at;
    return false;
}

bool CFlvAmf0Reader::EcmaArrayStart(uint32_t* count) {
    const uint8_t* p = nullptr;
    if (!Take(kEcmaArray, 4, &p)) return false;
    *count = flvbytes::ReadBE32(p);
    return true;
}

bool CFlvAmf0Reader::ObjectStart() {
    const uint8_t* p = nullptr;
    return Take(kObject, 0, &p);
}

bool CFlvAmf0Reader::NumberArray(std::vector<double>* out) {
    const size_t start = m_at;
    const uint8_t* p = nullptr;
    if (!Take(kStrictArray, 4, &p)) return false;
    const uint32_t count = flvbytes::ReadBE32(p);
    if (count > Remaining() / CFlvAmf0Writer::kNumberSize) {
        m_at = start;
        return false;
    }
    out->resize(count);
    for (double& value : *out) {
        if (!Number(&value)) {
            m_at = start;
            return false;
        }
    }
    return true;
}

bool CFlvAmf0Reader::AtObjectEnd() const {
    return Remaining() >= 3 && m_data[m_at] == 0 && m_data[m_at + 1] == 0 &&
           m_data[m_at + 2] == kObjectEnd;
}

bool CFlvAmf0Reader::ObjectEnd() {
    if (!AtObjectEnd()) return false;
    m_at += 3;
    return true;
}

bool CFlvAmf0Reader::SkipValue(int depth) {
    const size_t start = m_at;
    if (Skip(depth)) return true;
    m_at = start;
    return false;
}

// Like SkipValue, but a failure leaves the position anywhere up to the end.
bool CFlvAmf0Reader::Skip(int depth) {
    if (depth <= 0 || Remaining() == 0) return false;
    const uint8_t marker = m_data[m_at++];
    const auto advance = [this](size_t count) {
        if (Remaining() < count) return false;
        m_at += count;
        return true;
    };
    const auto count32 = [this](uint32_t* count) {
        if (Remaining() < 4) return false;
        *count = flvbytes::ReadBE32(m_data + m_at);
        m_at += 4;
        return true;
    };
    std::string_view text;
    uint32_t count = 0;
    switch (marker) {
        case kNumber:
            return advance(8);
        case kBoolean:
            return advance(1);
        case kString:
            return Key(&text);
        case kObject:
            return SkipProperties(depth);
        case kNull:
        case kUndefined:
            return true;
        case kReference:
            return advance(2);
        case kEcmaArray:
            return count32(&count) && SkipProperties(depth);
        case kStrictArray:
            // Every value takes at least one byte: the loop ends with the body.
            if (!count32(&count)) return false;
            for (uint32_t i = 0; i < count; ++i) {
                if (!Skip(depth - 1)) return false;
            }
            return true;
        case kDate:
            return advance(10);  // milliseconds as a number, then a time zone
        case kLongString:
            return count32(&count) && advance(count);
        default:
            return false;
    }
}

bool CFlvAmf0Reader::SkipProperties(int depth) {
    while (!AtObjectEnd()) {
        std::string_view key;
        if (!Key(&key) || !Skip(depth - 1)) return false;
    }
    m_at += 3;
    return true;
}
