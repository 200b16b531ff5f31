#include "flvsplice/document/FlvFile.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

#include "flvsplice/common/ByteOrder.h"
#include "flvsplice/platform/FlvStream.h"

CFlvFile::CFlvFile() = default;

CFlvFile::~CFlvFile() {
    m_flvHeader.reset();
    m_metaData.reset();
    // Tags whose elements hold nothing outside the pool need no destructors:
    // the pool takes their memory back in one piece. That holds while no
    // element of the pool has error records and no element lives on the heap
    // (one might have been given to a tag here).
    if (m_pool.IsSelfContained() && !CFlvData::AnyOnHeap()) {
        m_loadedTags.abandon();
    } else {
        m_loadedTags.clear();
    }
    m_file.reset();
}

CFlvHeader* CFlvFile::GetFlvHeader() { return m_flvHeader.get(); }
CFlvMetaData* CFlvFile::GetFlvMetaData() { return m_metaData.get(); }
std::vector<CFlvTag*>* CFlvFile::GetFlvTagArray() { return &m_tags; }
std::vector<CFlvTag*>* CFlvFile::GetVideoTagArray() { return &m_videoTags; }
std::vector<CFlvTag*>* CFlvFile::GetAudioTagArray() { return &m_audioTags; }

bool CFlvFile::IsReady() const { return m_file && m_file->IsOpen() && m_flvHeader && m_metaData; }

int CFlvFile::RefuseNotOpen() {
    PushError(m_metaData ? L"FLVファイルは既に閉じられています。"
                         : L"FLVファイルが開かれていません。");
    return FlvResult::NotOpen;
}

std::wstring CFlvFile::GetErrorMessageFormatted() { return FormatErrorText(); }

void CFlvFile::Close() {
    if (m_file && m_file->IsOpen()) m_file->Close();
}

int CFlvFile::Open(const std::wstring& path) { return Open(path, FlvOpenOptions{}); }

int CFlvFile::Open(const std::wstring& path, const FlvOpenOptions& options) {
    if (m_file || m_flvHeader) {
        // A document holds one file for its whole life: its tags may already
        // stand in other documents' lists.
        PushError(L"FLVファイルは既に開かれています。");
        return FlvResult::OpenFailed;
    }
    m_options = options;
    // Everything loaded below lives in the document's pool.
    CFlvElementPool::Scope scope(&m_pool);
    try {
        int error = 0;
        m_file = CFlvStream::OpenForReading(path, &error);
        if (!m_file) {
            PushSystemError(L"FLVファイルOPEN時にエラーが発生しました。", error);
            return FlvResult::OpenFailed;
        }
        if (!m_file->Seek(0, SEEK_END)) {
            PushSystemError(L"FLVファイルSEEK時(終端)にエラーが発生しました。",
                            m_file->LastError());
            return FlvResult::SeekFailed;
        }
        const int64_t fileSize = m_file->Tell();
        if (fileSize < 0) {
            PushSystemError(L"FLVファイルサイズ取得時にエラーが発生しました。",
                            m_file->LastError());
            return FlvResult::PositionFailed;
        }
        if (!m_file->Seek(0, SEEK_SET)) {
            PushSystemError(L"FLVファイル先頭へ移動中にエラーが発生しました。",
                            m_file->LastError());
            return FlvResult::SeekFailed;
        }

        m_flvHeader = std::make_unique<CFlvHeader>();
        if (!m_flvHeader->Load(m_file.get(), fileSize)) {
            PushError(L"FLVヘッダ読み込み時にエラーが発生しました。", L"", m_flvHeader.get());
            return FlvResult::HeaderLoadFailed;
        }
        if (m_flvHeader->m_signature[0] != 'F' || m_flvHeader->m_signature[1] != 'L' ||
            m_flvHeader->m_signature[2] != 'V') {
            PushError(L"FLVファイルではありません。ヘッダのシグニチャが異なります。");
            return FlvResult::BadSignature;
        }
        // A salvaging Open derives the flags from the content.
        if (!m_options.salvage &&
            (m_flvHeader->m_flags & (CFlvHeader::kAudioFlag | CFlvHeader::kVideoFlag)) == 0) {
            PushError(L"FLVヘッダの映像・音声フラグが不正です。");
            return FlvResult::BadFlags;
        }

        if (m_options.salvage) {
            const int loaded = LoadTagsSalvage(fileSize);
            if (loaded != FlvResult::Success) return loaded;
            if (m_options.modernCodecs && !AnalyzeCodecs()) return FlvResult::ReadFailed;
            if (!MendSalvagedTags()) return FlvResult::ReadFailed;
            if (m_salvageScan.audioCount != SIZE_MAX) {
                MakeFlvTagArrayOfEachType(m_salvageScan.audioCount);
            } else {
                MakeFlvTagArrayOfEachType();
            }
            if (!CheckContentValidity()) return FlvResult::ContentInvalid;
        } else {
            size_t audioCount = 0;
            const int loaded = LoadTags(fileSize, &audioCount);
            if (loaded != FlvResult::Success) return loaded;

            MakeFlvTagArrayOfEachType(audioCount);
            if (!CheckContentValidity()) return FlvResult::ContentInvalid;
            if (m_options.modernCodecs && !AnalyzeCodecs()) return FlvResult::ReadFailed;
        }
        if (m_flvHeader->HasAudio()) {
            if (m_audioTags.size() == 1) {
                PushError(L"音声FLVタグが1つしか存在しないため処理を続行できません。");
                return FlvResult::SingleAudioTag;
            }
            CalculateFlvTagDuration(&m_audioTags);
        }
        if (m_flvHeader->HasVideo()) {
            if (m_videoTags.size() == 1) {
                PushError(L"映像FLVタグが1つしか存在しないため処理を続行できません。");
                return FlvResult::SingleVideoTag;
            }
            CalculateFlvTagDuration(&m_videoTags);
        }
        auto metaData = std::make_unique<CFlvMetaData>();
        metaData->AnalyzeFlvFile(this);
        m_metaData = std::move(metaData);
        m_tagSources.insert(this);
        return FlvResult::Success;
    } catch (const std::exception&) {
        return FlvResult::HeaderLoadFailed;
    }
}

int CFlvFile::LoadTags(int64_t fileSize, size_t* audioCount) {
    // The kept tag that the PreviousTagSize read next follows, if any.
    CFlvTag* previous = nullptr;
    for (;;) {
        uint8_t previousTagSize[4];
        if (m_file->Read(previousTagSize, 4) != 4) {
            PushSystemError(L"FLVタグサイズ読み込み時にエラーが発生しました。",
                            m_file->LastError());
            return FlvResult::ReadFailed;
        }
        if (previous != nullptr &&
            flvbytes::ReadBE32(previousTagSize) == previous->GetDataSize() + CFlvTag::kHeaderSize) {
            previous->SetTrailerVerified();
        }
        previous = nullptr;
        const int64_t position = m_file->Tell();
        if (position < 0) {
            PushSystemError(L"EOFチェック時にファイル位置取得エラーが発生しました。",
                            m_file->LastError());
            return FlvResult::PositionFailed;
        }
        if (position == fileSize) return FlvResult::Success;

        CFlvTag& tag = m_loadedTags.emplace_back();
        if (!tag.Load(m_file.get(), 0, m_options.modernCodecs)) {
            PushError(L"FLVタグロード時にエラーが発生しました。", L"", &tag);
            m_loadedTags.pop_back();
            return FlvResult::TagLoadFailed;
        }
        if (tag.m_tagType == CFlvTag::kScriptData) {
            m_loadedTags.pop_back();
            continue;
        }
        m_tags.push_back(&tag);
        *audioCount += tag.m_tagType == CFlvTag::kAudio;
        previous = &tag;
    }
}

void CFlvFile::MakeFlvTagArrayOfEachType() {
    size_t audio = 0;
    for (const CFlvTag* tag : m_tags) audio += tag->m_tagType == CFlvTag::kAudio;
    MakeFlvTagArrayOfEachType(audio);
}

void CFlvFile::MakeFlvTagArrayOfEachType(size_t audioCount) {
    m_videoTags.clear();
    m_audioTags.clear();
    // Sized exactly (m_tags holds audio and video tags only): on a long file
    // the lists are a good part of the memory.
    m_audioTags.reserve(audioCount);
    m_videoTags.reserve(m_tags.size() - std::min(audioCount, m_tags.size()));
    for (CFlvTag* tag : m_tags) {
        if (tag->m_tagType == CFlvTag::kAudio) {
            m_audioTags.push_back(tag);
        } else if (tag->m_tagType == CFlvTag::kVideo) {
            m_videoTags.push_back(tag);
        }
    }
}

bool CFlvFile::CheckContentValidity() {
    if (m_tags.empty()) {
        PushError(L"FLVファイルに映像データ・音声データが含まれていません。");
        return false;
    }
    if (m_flvHeader->HasAudio() && m_audioTags.empty()) {
        PushError(L"FLVヘッダと音声データの関係に不整合があります。");
        return false;
    }
    if (m_flvHeader->HasVideo() && m_videoTags.empty()) {
        PushError(L"FLVヘッダと映像データの関係に不整合があります。");
        return false;
    }
    return true;
}

void CFlvFile::CalculateFlvTagDuration(std::vector<CFlvTag*>* list) {
    const size_t n = list->size();
    if (n < 2) return;
    if (m_options.modernCodecs) {
        // Configurations and ends of sequence take no time: the frames'
        // durations are the distances between frames.
        CFlvTag* previous = nullptr;
        CFlvTag* first = nullptr;
        size_t frames = 0;
        for (CFlvTag* tag : *list) {
            tag->m_duration = 0;
            if (!tag->IsFrame()) continue;
            if (previous != nullptr) {
                previous->m_duration = tag->GetTimestamp() - previous->GetTimestamp();
            }
            if (first == nullptr) first = tag;
            previous = tag;
            ++frames;
        }
        if (frames >= 2) {
            const uint32_t span = previous->GetTimestamp() - first->GetTimestamp();
            previous->m_duration = span / static_cast<uint32_t>(frames - 1);
        }
        return;
    }
    for (size_t i = 1; i < n; ++i) {
        (*list)[i - 1]->m_duration = (*list)[i]->GetTimestamp() - (*list)[i - 1]->GetTimestamp();
    }
    // The last tag has no successor: it lasts the mean distance of the list.
    const uint32_t span = list->back()->GetTimestamp() - list->front()->GetTimestamp();
    list->back()->m_duration = span / static_cast<uint32_t>(n - 1);
}
