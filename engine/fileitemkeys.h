// The keys of a file row's item map: the QVariantMap under Qt::UserRole of
// each row of the main window's file, output and progress lists. Named once
// here, at the lowest library that reads such rows (the file name map), so
// that the FTP dialogs and the window use the same names.
#pragma once

namespace fileitem {

// Set when the file is added.
inline constexpr const char* kUuidKey = "uuid";
inline constexpr const char* kFilenameKey = "filename";
inline constexpr const char* kDisplayNameKey = "displayName";

// Set by the probe. These carry the probe's own names
// (TranscodeEngine::probeFile), so the probe is read by them.
inline constexpr const char* kValidKey = "valid";
inline constexpr const char* kVideoCodecKey = "videoCodec";
inline constexpr const char* kVBitrateKey = "vBitrate";
inline constexpr const char* kAudioCodecKey = "audioCodec";
inline constexpr const char* kABitrateKey = "aBitrate";
inline constexpr const char* kNumAudioStreamsKey = "numAudioStreams";
inline constexpr const char* kNumVideoStreamsKey = "numVideoStreams";
inline constexpr const char* kFramesKey = "frames";
inline constexpr const char* kWidthKey = "width";
inline constexpr const char* kHeightKey = "height";
inline constexpr const char* kSamplerateKey = "samplerate";
// Set from the probe in the row's own words.
inline constexpr const char* kDurationKey = "duration";
inline constexpr const char* kModeKey = "mode";
inline constexpr const char* kBitrateTypeKey = "bitrateType";
inline constexpr const char* kQFHDSplitSupportKey = "QFHDSplitSupport";
inline constexpr const char* kTallSplitSupportKey = "TallSplitSupport";

// Set when the outputs are named; a quadrant or part row is a copy of its
// source row with the number of its piece.
inline constexpr const char* kOutputFilenameKey = "outputFilename";
inline constexpr const char* kQFHDQuadrantKey = "QFHDQuadrant";
inline constexpr const char* kTallPartKey = "TallPart";

// Set by the encode loop and the uploads. kIsEncodingKey holds an EncodingState.
inline constexpr const char* kIsEncodingKey = "isEncoding";
inline constexpr const char* kEncodingProgressKey = "encodingProgress";
inline constexpr const char* kEncodingErrorKey = "encodingError";
inline constexpr const char* kUploadProgressKey = "uploadProgress";
inline constexpr const char* kUploadProgressStringKey = "uploadProgressString";
inline constexpr const char* kUploadErrorKey = "uploadError";
inline constexpr const char* kCurUploadFileKey = "curUploadFile";

// The FTP servers of the row, as the FTP dialogs write them.
inline constexpr const char* kPrimaryServerKey = "primaryServer";
inline constexpr const char* kPrimaryPortKey = "primaryPort";
inline constexpr const char* kPrimaryUsernameKey = "primaryUsername";
inline constexpr const char* kPrimaryPasswordKey = "primaryPassword";
inline constexpr const char* kSecondaryServerKey = "secondaryServer";
inline constexpr const char* kSecondaryPortKey = "secondaryPort";
inline constexpr const char* kSecondaryUsernameKey = "secondaryUsername";
inline constexpr const char* kSecondaryPasswordKey = "secondaryPassword";
inline constexpr const char* kFtpSetupButtonEnabledKey = "ftpSetupButtonEnabled";

} // namespace fileitem
