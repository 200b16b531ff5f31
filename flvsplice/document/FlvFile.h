#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "flvsplice/common/FlvElementPool.h"
#include "flvsplice/common/FlvErrorHandler.h"
#include "flvsplice/common/FlvExport.h"
#include "flvsplice/common/FlvProcess.h"
#include "flvsplice/common/FlvResult.h"
#include "flvsplice/document/FlvDecoderConfig.h"
#include "flvsplice/document/FlvOpenOptions.h"
#include "flvsplice/document/FlvSalvageReport.h"
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
class CFlvOutputFile;
struct FlvMp4Options;
struct FlvMp4TrackSummary;

// The elementary video streams SaveVideoStream writes.
enum class FlvVideoForm {
    AnnexBAvc,   // H.264 (codec 7, 'avc1') as an Annex B byte stream
    AnnexBHevc,  // HEVC (codec 12, 'hvc1') as an Annex B byte stream
    Ivf,         // AV1 or VP9 in IVF frames
    Obu,         // AV1 as a low-overhead OBU stream with temporal delimiters
};

// The elementary audio streams SaveAudioStream writes.
enum class FlvAudioForm {
    Flac,  // 'fLaC' as a FLAC file: the marker, the STREAMINFO, the frames
    Ac3,   // 'ac-3' frames one after another
    Eac3,  // 'ec-3' frames one after another
};

// A track of the multitrack tags of a document: audio or video, its track id
// and its codec's FourCC.
struct FlvTrack {
    bool video = false;
    uint8_t id = 0;
    uint32_t fourCC = 0;
};

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
    // The same, with what the host asks beyond the classic codecs and
    // timeline (FlvOpenOptions.h). Add follows the options of the document
    // that the others are joined onto.
    int Open(const std::wstring& path, const FlvOpenOptions& options);
    const FlvOpenOptions& GetOpenOptions() const { return m_options; }
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
    // Writes AAC audio (sound format 10 or enhanced 'mp4a') as ADTS: every raw frame behind a
    // 7-byte header made from the AudioSpecificConfig in force. Refuses (ExportRefused, nothing
    // written) other formats and configurations ADTS cannot carry. Failures
    // of the output file after it was created throw CFlvFileException.
    int SaveAudioAdts(const std::wstring& path, CFlvProcess* process);
    // Writes H.264 video as an Annex B byte stream: start codes, and the
    // parameter sets in force in front of every IDR picture. Refuses other
    // codecs (ExportRefused, nothing written). Failures of the output file
    // after it was created throw CFlvFileException.
    int SaveVideoAnnexB(const std::wstring& path, CFlvProcess* process);
    // Writes the streams options asks for into an MP4 file (documents opened
    // with the modern codecs): H.264 and AAC or MP3 samples as they are, the
    // index first, or in fragments (options.fragmented; one configuration
    // per track, else ExportRefused: pick a part). Refuses (Mp4StreamRefused,
    // Mp4TimeBackwards or ExportRefused, nothing written) what MP4 cannot
    // carry.
    int SaveMP4(const std::wstring& path, const FlvMp4Options& options, CFlvProcess* process);
    // How many parts a split at each change of decoder configuration makes
    // of the MP4 that options describe (1 without a change), or why that
    // MP4 would be refused.
    int Mp4PartCount(const FlvMp4Options& options, uint32_t* count);
    // What SaveMP4 with these options writes, track by track (the summaries
    // point into this document's configurations), or why it would refuse.
    int DescribeMp4(const FlvMp4Options& options, std::vector<FlvMp4TrackSummary>* tracks);
    // Writes the video as the elementary stream of the form: HEVC as Annex B
    // (the parameter sets of the configuration in front of every key frame),
    // AV1 as an OBU stream or IVF (every frame a temporal unit; the sequence
    // header of the configuration in front of key frames without one), VP9
    // as IVF. Refuses (ExportRefused, nothing written) codecs the form cannot
    // carry and multitrack video. Failures of the output file after it was
    // created throw CFlvFileException.
    int SaveVideoStream(const std::wstring& path, FlvVideoForm form, CFlvProcess* process);
    // Writes the audio as the stream of the form that decoders read alone:
    // FLAC as a FLAC file (the "fLaC" marker and the STREAMINFO of the
    // sequence start, then the frames), AC-3 and E-AC-3 as their frames.
    // Refuses (ExportRefused, nothing written) other codecs, multitrack
    // audio, FLAC without a STREAMINFO before its first frame or with one
    // that changes. Failures of the output file after it was created throw
    // CFlvFileException.
    int SaveAudioStream(const std::wstring& path, FlvAudioForm form, CFlvProcess* process);
    // Makes the document hold one video track of its multitrack tags, track
    // id: every multitrack video tag that carries it becomes an enhanced tag
    // of the track's codec holding the track's data byte for byte; the other
    // video tags go, audio stays. Refuses (ExportRefused, nothing changed) an
    // id that no video track has and multitrack tags with ModEx prefixes.
    int KeepVideoTrack(uint8_t id);
    // Leaves the video (or audio) stream out of the document: its tags go,
    // the header no longer announces it, and the other stream's timeline
    // starts at 0. Refused (9029) when nothing else would be left.
    int DropStream(bool video);
    // Rewrites every codec-12 HEVC tag as an enhanced 'hvc1' tag: the packet
    // type and composition time go into the enhanced header, the coded data
    // stays byte for byte. Refuses (ExportRefused, nothing changed) a
    // document holding other documents' tags and packet types that enhanced
    // tags cannot express; succeeds without change when there is no codec 12.
    int ConvertToEnhanced();
    std::wstring GetErrorMessageFormatted();

    // The decoder configuration a configuration tag carries (documents opened
    // with the modern codecs), nullptr for any other tag.
    const FlvDecoderConfig* GetDecoderConfig(const CFlvTag* tag) const;
    // The first configuration of the audio or video stream in the tag list.
    const FlvDecoderConfig* FirstDecoderConfig(bool video) const;
    // Whether a cut may start at this video tag: a frame that decodes on its
    // own (with the modern codecs: for H.264 an IDR picture, for HEVC a
    // random access picture, whose RASL pictures a cut there leaves out).
    bool IsCutPoint(const CFlvTag* tag) const;
    // The tracks of the document's multitrack tags in the order they first
    // appear (empty without multitrack tags).
    const std::vector<FlvTrack>& GetTracks() const { return m_tracks; }
    // Audio frames that joins with keepSyncOnJoin left out because they
    // would have played wholly inside the audio before the seam.
    size_t GetDroppedAudioFrames() const { return m_droppedAudioFrames; }
    // RASL pictures that cuts and joins left out behind the CRA or BLA
    // picture an HEVC stream starts at there: they cannot be decoded.
    size_t GetDroppedRaslPictures() const { return m_droppedRaslPictures; }
    // What a salvaging Open (FlvOpenOptions::salvage) met and did, in file
    // order; empty for an undamaged file.
    const std::vector<FlvSalvageProblem>& GetSalvageReport() const { return m_salvageReport; }

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
    // LoadTags for a salvaging Open (FlvFileSalvage.cpp): skips what cannot
    // be trusted instead of failing, and records it.
    int LoadTagsSalvage(int64_t fileSize);
    void LoadCleanTags(uint64_t* at, uint64_t size);
    void KeepSalvagedTag(CFlvTag* tag, uint64_t at);
    // After loading (and AnalyzeCodecs): the rules that need the whole list.
    bool MendSalvagedTags();
    // False when the mending would change nothing (decided from what the
    // loading noted in m_salvageScan).
    bool NeedsMending() const;
    // Takes the kept tags, sets the header flags from the streams and sorts
    // the report.
    bool FinishSalvage(std::vector<CFlvTag*> kept, bool audio, bool video);
    CFlvTag* AacSequenceHeader();
    // With the modern codecs: reads every decoder configuration and decides
    // which key frames decode on their own. False after a read failure.
    bool AnalyzeCodecs();
    bool ParseVideoConfig(CFlvVideoPacketTyped* packet, uint32_t codec, FlvDecoderConfig& config);
    bool ReadSourceBytes(CFlvRawData* raw, uint64_t skip, uint64_t limit,
                         std::vector<uint8_t>& out);
    // Marks the cut points of a document with multitrack video tags, from
    // m_trackTags.
    void FindTrackCutPoints();
    // The multitrack configuration tags in force at tag index `at` of m_tags
    // for one stream: for each track the last one before it that holds the
    // track's configuration, in file order.
    std::vector<CFlvTag*> TrackConfigTagsBefore(size_t at, bool video) const;
    // The configuration in force at tag index `at` of m_tags for one stream
    // (the last configuration tag before it), or nullptr.
    CFlvTag* ConfigTagBefore(size_t at, bool video) const;
    // Where an HEVC stream starts at start (one of tags), a CRA or BLA
    // picture: removes the RASL pictures that follow it in decode order
    // before the first trailing picture, which refer to pictures before it.
    // lengthSize: the NAL unit length size of the configuration in force.
    // False after a read failure.
    bool DropRaslPictures(std::vector<CFlvTag*>& tags, const CFlvTag* start, unsigned lengthSize);
    // Where an HEVC stream that starts at a CRA picture follows another one:
    // the picture's slices become BLA_W_LP slices (NAL unit type 16), so that
    // decoders start a new coded video sequence there instead of numbering
    // its pictures after those before the seam. False after a read failure.
    bool RewriteCraAsBla(CFlvTag* tag, unsigned lengthSize);
    // The appended tags of a join with the modern codecs, checked; false
    // leaves records.
    int PrepareModernJoin(CFlvFile* other, bool check, std::vector<CFlvTag*>* out);
    void KeepSyncAtSeam(std::vector<CFlvTag*>* appended);
    // Whether other may be joined onto this document when either has
    // multitrack tags; JoinRefused leaves records.
    int CheckTrackJoin(const CFlvFile* other);
    // The start of an elementary-stream export: the refusal (when there is
    // one) as a record and ExportRefused, else output created at path.
    int BeginExport(const wchar_t* refusal, const std::wstring& path, CFlvOutputFile& output);
    // The ADTS export.
    int WriteElementaryStream(const std::wstring& path, CFlvProcess* process);

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
    FlvOpenOptions m_options;
    size_t m_droppedAudioFrames = 0;
    size_t m_droppedRaslPictures = 0;
    std::vector<FlvTrack> m_tracks;
    // The decoder configurations of the configuration tags in m_tags (those
    // of joined documents too): they outlive the parse, the pool does not
    // hold them.
    std::unordered_map<const CFlvTag*, std::shared_ptr<const FlvDecoderConfig>> m_configs;
    // For the multitrack tags of m_tags (those of joined documents too):
    // the tracks whose configuration a configuration tag holds, and the
    // tracks whose key frame that decodes on its own a video frame holds.
    std::unordered_map<const CFlvTag*, std::vector<uint8_t>> m_trackTags;
    std::vector<FlvSalvageProblem> m_salvageReport;
    // During a salvaging Open only: where in the file each run of tags that
    // lie end to end starts, (m_tags index, offset), rising; each tag's own
    // offset (parallel to m_tags) once the mending needs it; and the m_tags
    // indices that follow skipped bytes.
    std::vector<std::pair<size_t, uint64_t>> m_salvageRuns;
    std::vector<uint64_t> m_salvageOffsets;
    std::vector<size_t> m_salvageGaps;
    // What the salvaging load notes of each kept tag, so that an undamaged
    // file needs no second pass over its tags.
    struct SalvageScan {
        bool timeBroken = false;        // a stream's time fell or jumped
        bool seen[2] = {false, false};  // [0] audio, [1] video
        uint32_t last[2] = {0, 0};      // each stream's last time
        size_t audioCount = 0;
        uint64_t nextOffset = 0;                      // where a tag following the last one starts
        uint32_t lastTime = 0;                        // the last tag's time
        size_t lastVideo = SIZE_MAX;                  // index of the last video tag
        size_t firstCoded[2] = {SIZE_MAX, SIZE_MAX};  // first AAC / H.264 frame
        std::vector<size_t> notFrames;                // indices of tags that are no frames
    } m_salvageScan;
};
