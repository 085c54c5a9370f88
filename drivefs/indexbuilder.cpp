// The "index.dat" image: clip folders and frame files walked on the exFAT
// volume, first frames read, the CRC over the image.
#include "indexbuilder.h"

#include <climits>
#include <cstring>
#include <iterator>
#include <map>
#include <unordered_set>

#include "dfs_chains.h"
#include "dfs_codepage.h"
#include "dfs_device.h"
#include "dfs_drives.h"
#include "dfs_exfatdir.h"
#include "dfs_files.h"
#include "dfs_runtime.h"
#include "dfs_types.h"
#include "drivefs.h"
#include "tgavolume.h"

namespace {

constexpr size_t kNameMax = 256;    // 255 characters and the terminator

uint8_t* ClipRecord(uint8_t* image, uint32_t clip)
{
    return image + kIndexHeaderSize + size_t(clip) * kClipRecordSize;
}

void PutFrameEntry(uint8_t* image, uint32_t index, uint32_t sector)
{
    uint8_t* entry = image + kFrameTableOffset + size_t(index) * kFrameEntrySize;
    Put32(entry, sector);
    Put32(entry + 4, 0);
}

// Steps through the 32-byte entries of one directory: along the FAT chain, or
// cluster after cluster over the data length for a directory stored without
// one (following the FAT there would end the walk after the first cluster).
// Its clusters are claimed in the walk's ReadClusters before any is read; a
// directory that runs past the cluster heap or into clusters already read
// is refused and yields no entry.
//
// Directory sectors are read a cluster (at most 64 KiB) per transfer. Through
// the sector cache one at a time, directories of interleaved clusters defeat
// its read-ahead, and the ring scans cost several times a whole fsck of the drive.
class DirWalk {
public:
    DirWalk(DfsDrive* volume, const DirExtent& dir, ReadClusters* read)
        : m_volume(volume)
        , m_sectorSize(volume->device->sectorSize)
        , m_entriesPerCluster(volume->bytesPerCluster / direntry::kSize)
    {
        m_index = m_entriesPerCluster;  // no cluster read yet
        const uint32_t first = dir.firstCluster;
        if (first == 0)
            return;     // no directory
        if (first < 2 || first >= volume->clusterLimit)
            RaiseError(DFS_E_BAD_DIR_ENTRY);
        if (dir.contiguous) {
            const uint64_t clusters = (dir.dataLength + volume->bytesPerCluster - 1) / volume->bytesPerCluster;
            if (clusters == 0)
                return;
            if (clusters > uint64_t(volume->clusterLimit - first) || !read->claim(first, uint32_t(clusters))) {
                m_refused = true;
                return;
            }
            m_first = first;
            m_count = clusters;
        } else if (!claimChain(first, read)) {
            m_chain.clear();
            m_refused = true;
            return;
        }
        const uint32_t chunk = volume->bytesPerCluster < kChunkBytes ? volume->bytesPerCluster : kChunkBytes;
        m_chunk.resize(chunk);
        m_chunkEntries = chunk / direntry::kSize;
    }

    // The directory runs past the cluster heap or into another's clusters.
    bool refused() const { return m_refused; }

    // Copies the next entry into out; false at the end of the directory.
    bool next(uint8_t out[direntry::kSize])
    {
        if (m_index == m_entriesPerCluster) {
            if (m_position >= clusterCount())
                return false;
            m_cluster = m_chain.empty() ? uint32_t(m_first + m_position) : m_chain[m_position];
            ++m_position;
            m_index = 0;
        }
        if (m_index % m_chunkEntries == 0) {
            const uint64_t byteInCluster = uint64_t(m_index) * direntry::kSize;
            const uint64_t sector = ClusterToSector(m_volume, m_cluster) + byteInCluster / m_sectorSize;
            ReadDeviceSectors(m_volume->device, m_chunk.data(), sector, uint32_t(m_chunk.size() / m_sectorSize), 0);
        }
        std::memcpy(out, m_chunk.data() + (m_index % m_chunkEntries) * direntry::kSize, direntry::kSize);
        ++m_index;
        return true;
    }

private:
    static constexpr uint32_t kChunkBytes = 65536;

    uint64_t clusterCount() const { return m_chain.empty() ? m_count : m_chain.size(); }

    // Follows the FAT chain from first, claiming each cluster. A chain that
    // comes back to one of its own clusters ends there (a looping chain).
    bool claimChain(uint32_t first, ReadClusters* read)
    {
        std::unordered_set<uint32_t> own;
        uint32_t cluster = first;
        while (true) {
            if (!read->claim(cluster, 1))
                return false;
            own.insert(cluster);
            m_chain.push_back(cluster);
            const uint32_t next = NextChainCluster(m_volume, cluster);
            if (next == 0 || own.count(next))
                return true;
            if (next >= m_volume->clusterLimit)
                RaiseError(DFS_E_BAD_DIR_ENTRY);    // a bad-cluster mark inside a directory
            cluster = next;
        }
    }

    DfsDrive* m_volume;
    uint32_t m_first = 0;
    uint64_t m_count = 0;
    std::vector<uint32_t> m_chain;
    bool m_refused = false;
    uint64_t m_position = 0;
    uint32_t m_cluster = 0;
    uint32_t m_index = 0;
    uint32_t m_sectorSize;
    uint32_t m_entriesPerCluster;
    uint32_t m_chunkEntries = 1;
    std::vector<uint8_t> m_chunk;
};

// Gathers a name from a stream extension and its file name entries.
class NameCollector {
public:
    void start(uint32_t length)
    {
        m_missing = length;
        m_length = 0;
        m_text[0] = 0;
        m_utf16.clear();
    }

    // Appends the characters of one name entry; true when the name is complete.
    bool append(const uint8_t entry[direntry::kSize])
    {
        const uint32_t count = m_missing < exfatdir::kNameCharsPerEntry ? m_missing : exfatdir::kNameCharsPerEntry;
        uint16_t chars[exfatdir::kNameCharsPerEntry];
        for (uint32_t i = 0; i < count; ++i) {
            chars[i] = Get16(entry + exfatdir::kFileName + 2 * i);
            m_utf16 += char16_t(chars[i]);
        }
        Utf16ToOem(m_text + m_length, m_text + sizeof m_text, chars, count);
        m_length += std::strlen(m_text + m_length);
        m_missing -= count;
        return m_missing == 0;
    }

    bool complete() const { return m_missing == 0; }
    // The name in 8-bit text (letters outside the code page as "_"), for
    // its digits and extension.
    const char* text() const { return m_text; }
    size_t length() const { return m_length; }
    // The name as the directory holds it.
    const std::u16string& utf16() const { return m_utf16; }

private:
    uint32_t m_missing = 0;
    size_t m_length = 0;
    char m_text[kNameMax + 16];
    std::u16string m_utf16;
};

// Whether a player that reads the file as one run of sectors from its first
// sector reads the file: its clusters follow each other (the stream's
// NoFatChain flag, or a chain in which every next cluster is the one after).
bool IsOneRun(DfsDrive* volume, uint32_t first, bool noFatChain, uint64_t length)
{
    uint32_t last = 0;
    if (noFatChain)
        return ContiguousLastCluster(volume, first, length, &last);
    const uint64_t clusters = (length + volume->bytesPerCluster - 1) >> volume->clusterShift;
    uint32_t cluster = first;
    for (uint64_t i = 1; i < clusters; ++i) {
        const uint32_t next = NextChainCluster(volume, cluster);
        if (next != cluster + 1)
            return false;
        cluster = next;
    }
    return true;
}

bool InClusterHeap(const DfsDrive* volume, uint32_t cluster)
{
    return cluster >= 2 && cluster < volume->clusterLimit;
}

// A hidden ".part" file in a clip folder: a frame file that a writer has not
// yet given its name, or never will (its run was stopped or killed).
bool IsUnfinishedFrame(const char* name, size_t length)
{
    return length > 6 && name[0] == '.' && std::memcmp(name + length - 5, ".part", 5) == 0;
}

// Sets entries first .. first + count - 1 back to unused.
void ClearFrameEntries(uint8_t* image, uint32_t first, uint32_t count)
{
    std::memset(image + kFrameTableOffset + size_t(first) * kFrameEntrySize, 0xFF, size_t(count) * kFrameEntrySize);
}

} // namespace

bool ReadClusters::claim(uint32_t first, uint32_t count)
{
    const uint64_t end = uint64_t(first) + count;
    auto after = m_runs.upper_bound(first);
    if (after != m_runs.end() && after->first < end)
        return false;
    auto run = m_runs.end();
    if (after != m_runs.begin() && std::prev(after)->second >= first) {
        run = std::prev(after);
        if (run->second > first)
            return false;
        run->second = end;
    } else {
        run = m_runs.emplace(first, end).first;
    }
    // Joined with the run that starts where it ends.
    auto next = std::next(run);
    if (next != m_runs.end() && next->first == run->second) {
        run->second = next->second;
        m_runs.erase(next);
    }
    return true;
}

void InitIndexImage(uint8_t* image)
{
    std::memset(image, 0, kReservedOffset);
    std::memset(image + kReservedOffset, 0xFF, kIndexImageSize - kReservedOffset);
}

FrameKind FrameFileKind(const char* name, size_t length)
{
    if (length < 4)
        return NotAFrame;
    const char* ext = name + length - 4;
    if (std::memcmp(ext, ".tga", 4) == 0)
        return TargaFrame;
    if (std::memcmp(ext, ".krx", 4) == 0)
        return KrxFrame;
    return NotAFrame;
}

size_t TrailingDigitCount(const char* name, size_t length)
{
    size_t count = 0;
    while (count < length && name[length - 1 - count] >= '0' && name[length - 1 - count] <= '9')
        ++count;
    return count;
}

int32_t ParseDigits(size_t* count, const char* text, size_t length)
{
    // A value past 32 bits saturates: a long number must never wrap round into
    // a small one that names another clip or frame. Leading zeros are no such
    // number: "0000000042" is 42.
    int64_t value = 0;
    size_t n = 0;
    while (n < length && text[n] >= '0' && text[n] <= '9') {
        if (value <= INT32_MAX)
            value = value * 10 + (text[n] - '0');
        ++n;
    }
    if (count)
        *count = n;
    return value > INT32_MAX ? INT32_MAX : int32_t(value);
}

int32_t ParseSignedDigits(size_t* count, const char* text, size_t length)
{
    if (length > 0 && text[0] == '-') {
        size_t n = 0;
        const int32_t value = ParseDigits(&n, text + 1, length - 1);
        if (count)
            *count = n ? n + 1 : 0;
        return n ? (value == INT32_MAX ? INT32_MIN : -value) : 0;
    }
    return ParseDigits(count, text, length);
}

int32_t ParseTrailingNumber(size_t* count, const char* text, size_t length)
{
    const size_t digits = TrailingDigitCount(text, length);
    if (count)
        *count = digits;
    if (digits == 0)
        return 0;
    return ParseDigits(nullptr, text + length - digits, digits);
}

void Crc16BuildTable(uint16_t table[256])
{
    for (unsigned byte = 0; byte < 256; ++byte) {
        uint16_t reg = uint16_t(byte << 8);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & 0x8000) ? uint16_t((reg << 1) ^ 0x8005) : uint16_t(reg << 1);
        table[byte] = reg;
    }
}

uint16_t Crc16Update(uint16_t crc, const uint16_t table[256], const uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        crc = uint16_t((crc << 8) ^ table[(crc >> 8) ^ data[i]]);
    return crc;
}

namespace {

// One CRC step over a fixed byte is affine over GF(2): the table is linear in
// its index, so r -> (r << 8) ^ T[r >> 8] ^ T[byte]. Kept as the images of the
// 16 unit vectors plus the constant, such maps compose and square cheaply.
struct CrcAffine {
    uint16_t column[16];
    uint16_t constant;

    uint16_t linear(uint16_t r) const
    {
        uint16_t out = 0;
        for (int i = 0; i < 16; ++i)
            if (r & (1u << i))
                out ^= column[i];
        return out;
    }
    uint16_t apply(uint16_t r) const { return linear(r) ^ constant; }
    // this after other
    CrcAffine after(const CrcAffine& other) const
    {
        CrcAffine out;
        for (int i = 0; i < 16; ++i)
            out.column[i] = linear(other.column[i]);
        out.constant = apply(other.constant);
        return out;
    }
};

} // namespace

uint16_t Crc16Repeat(uint16_t crc, const uint16_t table[256], uint8_t byte, uint64_t count)
{
    CrcAffine step;
    for (int i = 0; i < 16; ++i) {
        const uint16_t r = uint16_t(1u << i);
        step.column[i] = uint16_t((r << 8) ^ table[r >> 8]);
    }
    step.constant = table[byte];
    while (count) {
        if (count & 1)
            crc = step.apply(crc);
        count >>= 1;
        if (count)
            step = step.after(step);
    }
    return crc;
}

uint16_t IndexImageCrc(const uint8_t* image, size_t length)
{
    // The unused frame table is most of the 111 MB; it is all 0xFF, so it is
    // accounted for in one jump instead of byte by byte.
    uint16_t table[256];
    Crc16BuildTable(table);
    if (length < kIndexHeaderSize)
        length = kIndexHeaderSize;
    if (length > kIndexImageSize)
        length = kIndexImageSize;
    const uint16_t crc = Crc16Update(0, table, image + kIndexHeaderSize, length - kIndexHeaderSize);
    return Crc16Repeat(crc, table, 0xFF, kIndexImageSize - length);
}

uint32_t IndexClipFolder(DfsDrive* volume, const DirExtent& folder, uint8_t* image, uint32_t base,
                         ClipFirstFrame* first, ClipFolderFindings* findings, ReadClusters* read)
{
    first->name.clear();
    *findings = ClipFolderFindings();
    int32_t highest = -1;
    int32_t lowest = kFirstFrameLimit;
    uint8_t fileEntry[direntry::kSize] = {};
    uint32_t fileEntryIndex = 0;
    uint32_t firstCluster = 0;
    uint8_t streamFlags = 0;
    uint64_t dataLength = 0;
    bool naming = false;
    NameCollector name;
    DirWalk walk(volume, folder, read);
    findings->refused = walk.refused();
    uint8_t entry[direntry::kSize];
    for (uint32_t index = 0; walk.next(entry); ++index) {
        if (entry[0] == exfatdir::kTypeFile) {
            std::memcpy(fileEntry, entry, direntry::kSize);
            fileEntryIndex = index;
            continue;
        }
        if (entry[0] == exfatdir::kTypeStream) {
            // Every stream extension starts a new name, whatever its file entry says.
            firstCluster = Get32(entry + exfatdir::kFirstCluster);
            streamFlags = entry[exfatdir::kGeneralFlags];
            dataLength = Get64(entry + exfatdir::kDataLength);
            name.start(entry[exfatdir::kNameLength]);
            naming = entry[exfatdir::kNameLength] != 0;
            continue;
        }
        if (entry[0] != exfatdir::kTypeName || !naming || !name.append(entry))
            continue;
        naming = false;

        const size_t length = name.length();
        if (IsUnfinishedFrame(name.text(), length)) {
            ++findings->unfinished;
            continue;
        }
        const FrameKind kind = FrameFileKind(name.text(), length);
        if (length < 5 || kind == NotAFrame)
            continue;
        size_t digits = 0;
        const int32_t number = ParseTrailingNumber(&digits, name.text(), length - 4);
        if (digits == 0 || uint32_t(number) > kLastFrameEntry || base + uint32_t(number) > kLastFrameEntry)
            continue;
        if (number > highest)
            highest = number;
        // An empty file (no cluster) or a cluster past the heap has no sector
        // to play from: its entry stays unused and it is never the first frame.
        if (!InClusterHeap(volume, firstCluster))
            continue;
        if (!IsOneRun(volume, firstCluster, (streamFlags & exfatdir::kNoFatChain) != 0, dataLength))
            ++findings->fragmented;
        if (number < lowest) {
            lowest = number;
            ExfatEntryImage(first->entry, fileEntry, streamFlags, firstCluster, dataLength);
            first->folderCluster = folder.firstCluster;
            first->entryIndex = fileEntryIndex;
            first->name = name.utf16();
            first->kind = kind;
        }
        const uint64_t sector = ClusterToSector(volume, firstCluster) + (kind == KrxFrame ? 1 : 0);
        PutFrameEntry(image, base + uint32_t(number), uint32_t(sector));
    }
    return uint32_t(highest + 1);
}

int32_t IndexVolumeRoot(DfsDrive* volume, uint8_t* image, uint32_t* length,
                        std::vector<ClipFirstFrame>* firstFrames, std::vector<IndexProblem>* problems)
{
    const uint32_t rootCluster = uint32_t(volume->rootDir);
    if (rootCluster == 0)
        return DFS_E_FILE_NOT_FOUND;
    int32_t result = 0;
    uint32_t base = 0;
    int32_t state = SCAN_SEEKING;  // SCAN_AFTER_FILE only after a folder's file entry
    DirExtent folder;
    NameCollector name;
    ClipFirstFrame first;

    DirExtent root;
    root.firstCluster = rootCluster;
    ReadClusters read;
    DirWalk walk(volume, root, &read);
    uint8_t entry[direntry::kSize];
    while (walk.next(entry)) {
        switch (entry[0]) {
        case exfatdir::kTypeFile:
            if (Get16(entry + exfatdir::kFileAttributes) & ATTR_DIRECTORY)
                state = SCAN_AFTER_FILE;
            continue;
        case exfatdir::kTypeStream:
            if (state != SCAN_AFTER_FILE) {
                state = SCAN_SEEKING;
                continue;
            }
            folder.firstCluster = Get32(entry + exfatdir::kFirstCluster);
            folder.contiguous = (entry[exfatdir::kGeneralFlags] & exfatdir::kNoFatChain) != 0;
            folder.dataLength = Get64(entry + exfatdir::kDataLength);
            name.start(entry[exfatdir::kNameLength]);
            state = SCAN_NAME;
            if (!name.complete())
                continue;
            break;      // a folder without a name: complete at once
        case exfatdir::kTypeName:
            if (state != SCAN_NAME || !name.append(entry))
                continue;
            break;
        default:
            state = SCAN_SEEKING;
            continue;
        }

        // The folder's name is complete.
        state = SCAN_SEEKING;
        const size_t nameLength = name.length();
        size_t digits = 0;
        const int32_t clip = ParseTrailingNumber(&digits, name.text(), nameLength);
        if (nameLength == 0 || digits == 0 || uint32_t(clip) >= kClipRecordCount)
            continue;
        ClipFolderFindings findings;
        const uint32_t count = IndexClipFolder(volume, folder, image, base, &first, &findings, &read);
        if (!findings.whole()) {
            // Left out: a player would play other data, a cut clip or nothing.
            ClearFrameEntries(image, base, count);
            if (problems) {
                IndexProblem problem;
                problem.folder = name.utf16();
                if (findings.refused) {
                    problem.kind = IndexProblem::RefusedDirectory;
                    problems->push_back(problem);
                }
                if (findings.unfinished) {
                    problem.kind = IndexProblem::UnfinishedFrames;
                    problem.count = findings.unfinished;
                    problems->push_back(problem);
                }
                if (findings.fragmented) {
                    problem.kind = IndexProblem::FragmentedFrames;
                    problem.count = findings.fragmented;
                    problems->push_back(problem);
                }
            }
            continue;
        }
        if (count == 0)
            continue;
        uint8_t* record = ClipRecord(image, uint32_t(clip));
        Put32(record + ClipFirstEntry, base);
        Put32(record + ClipLastEntry, base + count - 1);
        base += count;
        if (first.name.empty())
            continue;   // every frame numbered past the first-frame limit, or none with data
        // The players' path limit: folder, separator and frame name below 260 characters.
        if (nameLength + 1 + first.name.size() >= 260) {
            result = DFS_E_INVALID_NAME;
            continue;
        }
        if (firstFrames) {
            first.clip = uint32_t(clip);
            first.firstEntry = base - count;
            first.entryCount = count;
            first.folder = name.utf16();
            firstFrames->push_back(first);
        }
    }
    *length = uint32_t(kFrameTableOffset + size_t(base) * kFrameEntrySize);
    return result;
}

void ReadClipFrameFormat(int32_t handle, int kind, uint8_t* image, uint32_t clipNumber)
{
    uint8_t* record = ClipRecord(image, clipNumber);
    VolumeFileInfo info;
    if (GetVolumeFileInfo(handle, &info) == 0)
        Put32(record + ClipFirstFileSize, uint32_t(info.size));
    if (kind == TargaFrame) {
        TgaImage tga;
        if (TgaReadVolumeFile(&tga, handle) == TgaOk) {
            const bool bottomUp = (tga.descriptor & TgaDescriptorTopDown) == 0;
            const bool rle = TgaIsRle(&tga) != 0;
            const bool depth32 = tga.pixelDepth == 32;
            Put32(record + ClipFrameKind, 1);
            Put32(record + ClipTargaLayout, (bottomUp ? 2 : 0) + (rle ? 1 : 0));
            Put32(record + ClipTargaHeaderLength, 18);
            Put32(record + ClipWidth, tga.width);
            Put32(record + ClipHeight, tga.height);
            Put32(record + ClipBitsPerPixel, depth32 ? 24 : tga.pixelDepth);
            Put32(record + ClipComponentCode, depth32 ? 3 : uint32_t(-3));
            Put32(record + ClipExtraBits, depth32 ? 8 : 0);
        }
        TgaFreeImage(&tga);
    } else if (kind == KrxFrame) {
        int64_t position = 12;
        uint32_t values[8] = {};
        bool complete = SeekVolumeFile(handle, &position, 0) == 0;
        for (int i = 0; i < 8 && complete; ++i) {
            uint8_t bytes[4];
            uint32_t got = 0;
            complete = ReadVolumeFile(handle, bytes, 4, &got) == 0 && got == 4;
            values[i] = Get32(bytes);
        }
        // A file too short for its header is not taken as read.
        if (complete) {
            Put32(record + ClipFrameKind, 2);
            Put32(record + ClipWidth, values[0]);
            Put32(record + ClipHeight, values[1]);
        }
    }
}

namespace {

// The volume of the library's disk that starts at byteOffset, as a path "X:".
int32_t VolumePathAt(int64_t byteOffset, char path[3])
{
    DfsFile* slot = ClaimFileSlot();     // starts the library: devices scanned, letters given
    ReleaseFileSlot(slot);
    DfsDevice* disk = DriveFsDiskDevice();
    int32_t result = DFS_E_DRIVE_NOT_FOUND;
    EnterGlobal();
    for (uint32_t i = 0; i < g_driveFsData.driveSlotCount; ++i) {
        const DfsDrive& drive = g_driveFsData.drives[i];
        if (drive.device != disk || drive.state < DRIVE_PARTITION || disk->sectorSize == 0)
            continue;
        if (int64_t(drive.bootSector * disk->sectorSize) == byteOffset) {
            path[0] = char('A' + i);
            path[1] = ':';
            path[2] = 0;
            result = 0;
            break;
        }
    }
    LeaveGlobal();
    return result;
}

} // namespace

int8_t IndexVolume(const char* path, uint8_t* image, uint32_t* length, int64_t volumeOffset,
                   std::vector<IndexProblem>* problems)
{
    std::vector<IndexProblem> found;
    *length = 0;
    char letterPath[3] = {};
    DfsFile* slot = nullptr;
    int32_t result = Protected(
        [&] {
            if (volumeOffset >= 0) {
                const int32_t found = VolumePathAt(volumeOffset, letterPath);
                if (found < 0)
                    RaiseError(found);
                path = letterPath;
            }
            slot = ResolvePathTarget(path);
        },
        [](ExceptionFrame&) {}, [] {});

    std::vector<ClipFirstFrame> firstFrames;
    if (result == 0) {
        DfsDrive* volume = slot->drive;
        if (!volume || volume->fsId != FS_EXFAT) {
            result = DFS_E_INVALID_FS;
        } else {
            int32_t walked = 0;
            result = Protected([&] { walked = IndexVolumeRoot(volume, image, length, &firstFrames, &found); },
                               [](ExceptionFrame&) {}, [] {});
            if (result == 0)
                result = walked;
            if (result != 0)
                found.clear();  // the image is not whole: nothing of it is written
            if (result == 0) {
                // Read outside the walk's protected block, so that a frame that
                // cannot be opened or read returns its code instead of ending the walk.
                const char drivePath[3] = {volume->letter, ':', 0};
                for (const ClipFirstFrame& first : firstFrames) {
                    const int32_t handle =
                        OpenVolumeFileEntry(drivePath, first.entry, first.folderCluster, first.entryIndex);
                    if (handle < 0) {
                        IndexProblem problem;
                        problem.kind = IndexProblem::FirstFrameUnreadable;
                        problem.folder = first.folder;
                        problem.frame = first.name;
                        problem.code = handle;
                        found.push_back(problem);
                        // Left out of the index with its frames.
                        ClearFrameEntries(image, first.firstEntry, first.entryCount);
                        uint8_t* record = ClipRecord(image, first.clip);
                        if (Get32(record + ClipFirstEntry) == first.firstEntry)
                            std::memset(record, 0, kClipRecordSize);
                        continue;
                    }
                    ReadClipFrameFormat(handle, first.kind, image, first.clip);
                    CloseVolumeFile(handle);
                }
            }
            if (result == 0) {
                Put32(image + kIndexMagicOffset, kIndexMagic);
                Put32(image + kIndexVersionOffset, kIndexVersion);
                Put32(image + kIndexClusterSizeOffset, volume->bytesPerCluster);
                Put16(image + kIndexCrcOffset, IndexImageCrc(image, *length));
                Put16(image + kIndexPadOffset, 0);
            }
            // The clips left out make the run fail, though the image of the others is whole.
            if (result == 0 && !found.empty()) {
                const IndexProblem& problem = found.front();
                result = problem.kind == IndexProblem::FirstFrameUnreadable ? problem.code : DFS_E_DATA;
            }
        }
        DfsDevice* device = slot->device;
        ReleaseFileSlot(slot);
        if (device)
            UnlockDevice(device);
    }
    ShutdownVolumeLibrary();
    if (problems)
        *problems = found;
    return int8_t(result);
}
