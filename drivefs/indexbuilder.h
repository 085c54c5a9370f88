// Builder of the "index.dat" image of a player drive: walks the exFAT
// directories of the drive through the volume library and records, for every
// frame file of every clip folder, the first sector of its data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct DfsDrive;

// Layout of the image (all numbers little-endian).
constexpr uint32_t kIndexMagic = 0x00D00DADu;
constexpr uint32_t kIndexVersion = 2;
constexpr size_t kIndexHeaderSize = 16;
// Header fields: magic, version, cluster size (32-bit each), CRC and a zero pad (16-bit).
constexpr size_t kIndexMagicOffset = 0;
constexpr size_t kIndexVersionOffset = 4;
constexpr size_t kIndexClusterSizeOffset = 8;
constexpr size_t kIndexCrcOffset = 12;
constexpr size_t kIndexPadOffset = 14;
constexpr uint32_t kClipRecordCount = 9999;     // clip numbers 0 .. 9998
constexpr size_t kClipRecordSize = 56;
constexpr size_t kReservedOffset = kIndexHeaderSize + kClipRecordCount * kClipRecordSize;  // 559,960
constexpr size_t kReservedSize = 128000;
constexpr size_t kFrameTableOffset = kReservedOffset + kReservedSize;                     // 687,960
constexpr uint32_t kFrameEntryCount = 13824000;
constexpr size_t kFrameEntrySize = 8;
constexpr size_t kIndexImageSize = kFrameTableOffset + size_t(kFrameEntryCount) * kFrameEntrySize;  // 111,279,960
constexpr uint32_t kLastFrameEntry = kFrameEntryCount - 1;
// Frame numbers from here on still get entries but never name a clip's first frame.
constexpr int32_t kFirstFrameLimit = 99999;

// Clip record fields (32-bit each), by byte offset in the record.
enum ClipRecordField : size_t {
    ClipFirstEntry = 0,
    ClipLastEntry = 4,
    ClipFrameKind = 8,          // 1 Targa, 2 KRX, 0 first frame not read
    ClipTargaLayout = 12,       // (bottom-up ? 2 : 0) + (RLE ? 1 : 0)
    ClipTargaHeaderLength = 16,
    ClipWidth = 20,
    ClipHeight = 24,
    ClipBitsPerPixel = 32,
    ClipComponentCode = 36,
    ClipExtraBits = 40,
    ClipFirstFileSize = 52,
};

// Zeroes the image and sets everything from the reserved area on to 0xFF.
void InitIndexImage(uint8_t* image);

// What keeps a drive from being indexed beyond a library code: clip folders
// a player could not play as they are stored.
struct IndexProblem {
    enum Kind {
        FragmentedFrames,       // count frame files not in one run of clusters
        FirstFrameUnreadable,   // the clip's first frame could not be opened (code)
        UnfinishedFrames,       // count hidden ".part" files: frames cut off or still being written
        RefusedDirectory,       // the folder runs past the cluster heap or into clusters read already
    };
    Kind kind = FragmentedFrames;
    std::u16string folder;      // names as the directory holds them
    std::u16string frame;
    uint32_t count = 0;
    int32_t code = 0;
};

// Indexes a volume of the library's disk into image (kIndexImageSize bytes,
// prepared by InitIndexImage) and sets *length to the bytes to write.
// path "" is the library's default volume. With volumeOffset >= 0 the volume
// that starts at that byte offset of the disk is indexed instead.
// Returns a volume library error code, 0 on success. Clip folders a player
// could not play as they are stored are left out of the image, which is
// still whole: they are listed in *problems (when given) and the result is
// DFS_E_DATA or the code of the first frame that could not be opened.
// *problems is empty whenever the image is not whole.
int8_t IndexVolume(const char* path, uint8_t* image, uint32_t* length, int64_t volumeOffset = -1,
                   std::vector<IndexProblem>* problems = nullptr);

// One clip's first frame, as its folder lists it; its Targa or KRX header
// fills the clip record after the walk. It is opened by this entry, not by
// name: a name need not be writable in the library's 8-bit paths.
struct ClipFirstFrame {
    uint32_t clip = 0;
    uint32_t firstEntry = 0;    // the clip's run of frame entries
    uint32_t entryCount = 0;
    int kind = 0;               // a FrameKind
    uint8_t entry[32] = {};     // the file in the library's entry layout (ExfatEntryImage)
    uint32_t folderCluster = 0; // where its entry set lies
    uint32_t entryIndex = 0;
    std::u16string folder;
    std::u16string name;
};

// Walks the root directory of an exFAT volume: hands out the frame entry runs
// and fills the clip records' entry fields. First frames to read are added to
// firstFrames in directory order; clip folders whose frames a player could
// not play go to problems. Returns 0, -3 (a first frame's path is too long)
// or -9 (no root directory); read failures raise.
int32_t IndexVolumeRoot(DfsDrive* volume, uint8_t* image, uint32_t* length,
                        std::vector<ClipFirstFrame>* firstFrames, std::vector<IndexProblem>* problems = nullptr);

// The clusters of the directories read so far in one walk of a volume. A
// crafted directory may claim clusters another one holds, or more than the
// volume has: reading each cluster at most once bounds a walk by the size
// of the drive.
class ReadClusters {
public:
    // Takes count clusters from first on; false when one of them is taken already.
    bool claim(uint32_t first, uint32_t count);

private:
    std::map<uint32_t, uint64_t> m_runs;    // first cluster -> one past the last
};

// What keeps a clip folder out of the index.
struct ClipFolderFindings {
    uint32_t fragmented = 0;    // frame files not in one run of clusters
    uint32_t unfinished = 0;    // hidden ".part" files: unfinished frames
    bool refused = false;       // its directory runs past the heap or into clusters read already
    bool whole() const { return fragmented == 0 && unfinished == 0 && !refused; }
};

// A directory as its stream extension entry describes it.
struct DirExtent {
    uint32_t firstCluster = 0;
    bool contiguous = false;    // NoFatChain: the clusters follow each other, the FAT is not used
    uint64_t dataLength = 0;
};

// Walks one clip folder, filling the frame entries from base on. Returns the
// number of entries the clip takes (highest frame number + 1, 0 without
// frames); first receives the lowest-numbered frame (its name empty when
// none has data) and findings what keeps the clip from being listed.
uint32_t IndexClipFolder(DfsDrive* volume, const DirExtent& folder, uint8_t* image, uint32_t base,
                         ClipFirstFrame* first, ClipFolderFindings* findings, ReadClusters* read);

// Fills the format fields of clip record clipNumber from an open frame file.
void ReadClipFrameFormat(int32_t handle, int kind, uint8_t* image, uint32_t clipNumber);

enum FrameKind { NotAFrame = 0, TargaFrame = 1, KrxFrame = 2 };
// ".tga" or ".krx" (lower case only) in the four characters before length.
FrameKind FrameFileKind(const char* name, size_t length);
// Decimal digits immediately before position length.
size_t TrailingDigitCount(const char* name, size_t length);
// Value of the digits that end text[0, length); *count = digits taken.
int32_t ParseTrailingNumber(size_t* count, const char* text, size_t length);
// Value of the digits at the start of text (at most length characters); an
// optional "-" makes ParseSignedDigits negative. A value past 32 bits
// saturates at INT32_MAX / INT32_MIN.
int32_t ParseDigits(size_t* count, const char* text, size_t length);
int32_t ParseSignedDigits(size_t* count, const char* text, size_t length);

// CRC-16/UMTS: polynomial 0x8005, initial 0, no reflection, no final XOR.
void Crc16BuildTable(uint16_t table[256]);
uint16_t Crc16Update(uint16_t crc, const uint16_t table[256], const uint8_t* data, size_t length);
// The register after count further bytes of value byte (in logarithmic time).
uint16_t Crc16Repeat(uint16_t crc, const uint16_t table[256], uint8_t byte, uint64_t count);
// CRC of bytes 16 to the end of a full image, as stored in the header; every
// byte from length on must be 0xFF (the unused frame entries).
uint16_t IndexImageCrc(const uint8_t* image, size_t length);
