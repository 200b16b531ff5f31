#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "flvsplice/common/FlvElementPool.h"
#include "flvsplice/common/FlvErrorHandler.h"
#include "flvsplice/common/FlvExport.h"
#include "flvsplice/common/FlvProcess.h"
#include "flvsplice/common/FlvResult.h"
#include "flvsplice/document/FlvTagStore.h"
#include "flvsplice/flv/FlvAudioData.h"
#include "flvsplice/flv/FlvHeader.h"
#include "flvsplice/flv/FlvMetaData.h"
#include "flvsplice/flv/FlvRawData.h"
#include "flvsplice/flv/FlvScriptDataObject.h"
#include "flvsplice/flv/FlvTag.h"
#include "flvsplice/flv/FlvVideoData.h"
#include "flvsplice/flv/FlvVideoPacket.h"
#include "flvsplice/platform/FlvOutputFile.h"

class CFlvStream;

// One opened FLV file: its header, its audio and video tags (payload bytes
// stay in the source file, which is open from Open until Close), and the
// metadata derived from them. Open, then any sequence of Add, Extract,
// SaveAs, SaveAudio and SaveAVI; every failure returns a result code
// (FlvResult.h) and leaves records that GetErrorMessageFormatted explains.
class FLVSPLICE_API CFlvFile : public CFlvErrorHandler {
    friend class CFlvMetaData;

public:
    CFlvFile();
    virtual ~CFlvFile();
    CFlvFile(const CFlvFile&) = delete;
    CFlvFile& operator=(const CFlvFile&) = delete;

    int Open(const std::wstring& path);
    // Ends access to the source file; the loaded model stays readable.
    void Close();
    // Appends other's tags (other stays their owner and must stay open and
    // alive while this document uses them). check: compare the formats too.
    int Add(CFlvFile* other, bool check);
    // Cuts to the run of tags from the key frame at or before start to the
    // tags that contain end (milliseconds, both inclusive).
    int Extract(unsigned int start, unsigned int end);
    int SaveAs(const std::wstring& path, CFlvProcess* process);
    // Writes the audio data of every audio tag, one after another. Failures
    // of the output file after it was created throw CFlvFileException.
    int SaveAudio(const std::wstring& path, CFlvProcess* process);
    // Writes H.263 or VP6 video into an AVI file with an index. Failures of
    // the output file after it was created throw CFlvFileException.
    int SaveAVI(const std::wstring& path, CFlvProcess* process);
    std::wstring GetErrorMessageFormatted();

protected:
    CFlvHeader* GetFlvHeader();
    CFlvMetaData* GetFlvMetaData();
    std::vector<CFlvTag*>* GetFlvTagArray();
    std::vector<CFlvTag*>* GetVideoTagArray();
    std::vector<CFlvTag*>* GetAudioTagArray();
    // True while the document holds an opened, loaded source.
    bool IsReady() const;
    // SaveAVI with a bound on the AVI file's size (the 32-bit RIFF limit by
    // default); the export stops, complete and valid, before a frame that
    // would pass it.
    int SaveAVI(const std::wstring& path, CFlvProcess* process, uint64_t maxFileSize);
    // Records the refusal of an operation on a document without an open source.
    int RefuseNotOpen();
    // Writes the header, the first PreviousTagSize, metaData (the element of
    // the onMetaData tag) and every tag of the working list to output, then
    // closes it; returns SaveAs's result code.
    int WriteFlv(CFlvStream* output, CFlvData* metaData, CFlvProcess* process);

private:
    bool CheckContentValidity();
    void MakeFlvTagArrayOfEachType();
    // The same when the number of audio tags in m_tags is known.
    void MakeFlvTagArrayOfEachType(size_t audioCount);
    void CalculateFlvTagDuration(std::vector<CFlvTag*>* list);
    void ReparseFlvData();
    void RefreshTimeStamp();
    CFlvTag* FindIncludingFlvTag(uint32_t time, bool video, bool keyFramesOnly);
    uint32_t GetFlvTagIndexFromPointer(CFlvTag* tag);
    // Also counts the audio tags it keeps into *audioCount.
    int LoadTags(int64_t fileSize, size_t* audioCount);
    int WriteTag(CFlvStream* output, CFlvTag* tag);
    CFlvTag* AacSequenceHeader();

    // Holds the elements that Open creates: declared first, destroyed last.
    CFlvElementPool m_pool;
    std::unique_ptr<CFlvStream> m_file;
    std::unique_ptr<CFlvHeader> m_flvHeader;
    std::vector<CFlvTag*> m_tags;
    // The tags this document loaded, in file order; m_tags and other
    // documents' lists point into it.
    CFlvTagStore m_loadedTags{&m_pool};
    std::vector<CFlvTag*> m_videoTags;
    std::vector<CFlvTag*> m_audioTags;
    std::unique_ptr<CFlvMetaData> m_metaData;
    // The documents whose tags stand in m_tags (this one included): a join
    // that would bring the same tags in twice is refused.
    std::unordered_set<const CFlvFile*> m_tagSources;
};
