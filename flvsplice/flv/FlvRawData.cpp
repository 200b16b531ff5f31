#include "flvsplice/flv/FlvRawData.h"

#include <cstdio>
#include <cstring>

#include "flvsplice/common/FlvElementPool.h"
#include "flvsplice/platform/FlvStream.h"

CFlvRawData::CFlvRawData(CFlvStream* file, uint64_t offset, uint64_t size)
    : m_offset(offset), m_size(size), m_file(file) {}

CFlvRawData::~CFlvRawData() = default;

bool CFlvRawData::Load(CFlvStream*, int64_t) { return true; }

CFlvStream* CFlvRawData::GetSourceEnd(uint64_t* end) const {
    *end = m_offset + m_size;
    return m_file;
}

bool CFlvRawData::SeekToStart() {
    if (m_file == nullptr || m_offset > static_cast<uint64_t>(INT64_MAX) ||
        !m_file->Seek(static_cast<int64_t>(m_offset), SEEK_SET)) {
        PushSystemError(L"RAWDATAの先頭へ移動中にファイルSEEKエラーが発生しました。",
                        m_file != nullptr ? m_file->LastError() : 0);
        return false;
    }
    return true;
}

bool CFlvRawData::Save(CFlvStream* output) {
    if (!SeekToStart()) return false;
    uint64_t copied = 0;
    do {
        const uint64_t chunk = copied + kChunkSize <= m_size ? kChunkSize : m_size - copied;
        // The chunk is read where the source stream buffers it, not copied twice.
        const uint8_t* buffer = nullptr;
        if (m_file->ReadInPlace(&buffer, chunk) != chunk) {
            PushSystemError(L"RAWDATA出力中にファイル読み込みエラーが発生しました。",
                            m_file->LastError());
            return false;
        }
        uint8_t patched[kChunkSize];
        if (m_patches) {
            std::memcpy(patched, buffer, chunk);
            ApplyPatches(copied, patched, chunk);
            buffer = patched;
        }
        if (output->Write(buffer, chunk) != chunk) {
            PushSystemError(L"RAWDATA出力中にファイル書き込みエラーが発生しました。",
                            output->LastError());
            return false;
        }
        copied += chunk;
    } while (copied < m_size);
    return true;
}

bool CFlvRawData::ReadToBuffer(uint8_t* buffer, uint64_t count) {
    if (!SeekToStart()) return false;
    if (count == 0) return true;
    if (m_file->Read(buffer, count) != count) {
        PushSystemError(L"RAWDATA出力中にファイル読み込みエラーが発生しました。",
                        m_file->LastError());
        return false;
    }
    ApplyPatches(0, buffer, count);
    return true;
}

void CFlvRawData::Patch(uint64_t at, uint8_t value) {
    if (at >= m_size) return;
    if (!m_patches) {
        m_patches = std::make_unique<std::vector<std::pair<uint64_t, uint8_t>>>();
        // Its pool must run the destructors that free the list.
        CFlvElementPool::NoteOutsideMemory(this);
    }
    for (auto& patch : *m_patches) {
        if (patch.first == at) {
            patch.second = value;
            return;
        }
    }
    m_patches->emplace_back(at, value);
}

void CFlvRawData::ApplyPatches(uint64_t from, uint8_t* buffer, uint64_t count) const {
    if (!m_patches) return;
    for (const auto& [at, value] : *m_patches) {
        if (at >= from && at - from < count) buffer[at - from] = value;
    }
}
