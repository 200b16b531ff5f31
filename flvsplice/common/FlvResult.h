#pragma once

// Result codes of the document's public operations. 0 is success; a failure
// leaves a chain of error records on the document (GetErrorMessageFormatted).
namespace FlvResult {

constexpr int Success = 0;
constexpr int OpenFailed =
    9001;  // Open: source cannot be opened; SaveAudio: output cannot be created
constexpr int CreateFailed = 9002;    // SaveAs: output cannot be created
constexpr int SeekFailed = 9003;      // Open: seek to the end or back to the start fails
constexpr int PositionFailed = 9004;  // Open: a position query fails
constexpr int ReadFailed =
    9005;  // Open: PreviousTagSize unreadable; exports: payload bytes unreadable
constexpr int AviCreateFailed = 9006;   // SaveAVI: output cannot be created
constexpr int HeaderLoadFailed = 9010;  // Open: header does not load, or an exception while loading
constexpr int BadSignature = 9011;      // Open: signature is not "FLV"
constexpr int BadFlags = 9012;          // Open: neither audio nor video announced
constexpr int TagLoadFailed = 9013;     // Open: a tag does not load
constexpr int ContentInvalid = 9014;    // Open, Extract: content check fails
constexpr int SingleAudioTag = 9015;    // Open: audio announced and exactly one audio tag
constexpr int SingleVideoTag = 9016;    // Open: video announced and exactly one video tag
constexpr int HeaderSaveFailed = 9017;  // SaveAs: header does not save
constexpr int TagSizeSaveFailed = 9018;   // SaveAs: a PreviousTagSize is not written
constexpr int MetaDataSaveFailed = 9019;  // SaveAs: metadata does not save
constexpr int TagSaveFailed = 9020;       // SaveAs: a tag does not save
constexpr int JoinRefused = 9021;         // Add: the documents cannot be joined
constexpr int StartAfterEnd = 9022;       // Extract: start time after end time
constexpr int NoKeyFrame = 9023;          // Extract: no video key frame at or after the start
constexpr int NoAudio = 9024;             // Extract: no audio tag at or after the start
constexpr int AviCodecRefused = 9025;     // SaveAVI: the video codec cannot be written to AVI
constexpr int OutputIncomplete =
    9026;  // SaveAs: the output could not be completed (final flush or close failed)
constexpr int NotOpen =
    9027;  // SaveAs, SaveAudio, SaveAVI, Extract: no open source (never opened, or closed)
constexpr int AviSizeLimit = 9028;  // SaveAVI: the next frame would overflow the AVI's 32-bit sizes
constexpr int ExportRefused = 9029;  // SaveAudioAdts, SaveVideoAnnexB, SaveVideoStream,
                                     // ConvertToEnhanced: the stream cannot be written in that form
constexpr int Mp4StreamRefused =
    9040;  // SaveMP4: a stream to write has no MP4 form (legacy video, audio formats)
constexpr int Mp4TimeBackwards = 9041;  // SaveMP4: decode times go backwards in a track

}  // namespace FlvResult
