// On-disk layout of what the volume library reads: partition tables, the FAT
// boot sector with its BIOS parameter block, the FSInfo sector, the exFAT
// boot sector, FAT and exFAT directory entries and FAT entry values. Field
// constants are byte offsets into their structure, read through the
// little-endian helpers Get16/Get32/Get64 (dfs_types.h).
#pragma once

#include <cstddef>
#include <cstdint>

// Master and extended boot records.
namespace mbr {
constexpr size_t kPartitionTable = 446;     // kEntryCount entries of kEntrySize bytes
constexpr size_t kEntrySize = 16;
constexpr int kEntryCount = 4;
constexpr size_t kSignature = 510;          // 16-bit, kBootSignature
constexpr uint16_t kBootSignature = 0xAA55;

// A partition entry; the library keeps a device's disk information and a
// drive's partition in the same 16-byte layout.
constexpr size_t kBootFlag = 0;             // 0, or 0x80 .. 0x83
constexpr uint8_t kBootFlagFirst = 0x80;
constexpr uint8_t kBootFlagLast = 0x83;
constexpr size_t kType = 4;
constexpr size_t kFirstSector = 8;          // 32-bit, from the base of the record holding the entry
constexpr size_t kSectorCount = 12;         // 32-bit

// Partition types the library looks into: volumes it may read, and links to
// further records (extended). Others are passed over.
constexpr uint8_t kTypeFat12 = 0x01;
constexpr uint8_t kTypeFat16Small = 0x04;
constexpr uint8_t kTypeExtended = 0x05;
constexpr uint8_t kTypeFat16 = 0x06;
constexpr uint8_t kTypeNtfsExfat = 0x07;
constexpr uint8_t kTypeFat32 = 0x0B;
constexpr uint8_t kTypeFat32Lba = 0x0C;
constexpr uint8_t kTypeFat16Lba = 0x0E;
constexpr uint8_t kTypeExtendedLba = 0x0F;
// The disk information's "type" of a volume that spans the whole disk.
constexpr uint8_t kTypeWholeDisk = 1;
} // namespace mbr

// FAT12/16/32 boot sector and BIOS parameter block.
namespace bpb {
constexpr size_t kJump = 0;                 // kJumpNear, or kJumpShort then kNop at 2
constexpr uint8_t kJumpNear = 0xE9;
constexpr uint8_t kJumpShort = 0xEB;
constexpr uint8_t kNop = 0x90;
constexpr size_t kOemName = 3;              // 8 characters; names NTFS and exFAT volumes
constexpr size_t kOemNameLength = 8;
constexpr size_t kBytesPerSector = 11;      // 16-bit
constexpr size_t kSectorsPerCluster = 13;   // a power of two, or kLargeClusterFlag | shift
constexpr uint8_t kLargeClusterFlag = 0x80;
constexpr size_t kReservedSectors = 14;     // 16-bit
constexpr size_t kFatCount = 16;
constexpr size_t kRootEntryCount = 17;      // 16-bit; 0 on FAT32
constexpr size_t kTotalSectors16 = 19;      // 16-bit; 0: kTotalSectors32 holds the count
constexpr size_t kFatSize16 = 22;           // 16-bit; 0 on FAT32
constexpr size_t kTotalSectors32 = 32;

// FAT12/16 extended boot record.
constexpr size_t kVolumeId16 = 39;

// FAT32 extended boot record.
constexpr size_t kFatSize32 = 36;
constexpr size_t kExtFlags = 40;            // kMirroringOff | active FAT (kActiveFatMask)
constexpr uint8_t kMirroringOff = 0x80;
constexpr uint8_t kActiveFatMask = 0x0F;
constexpr size_t kFsVersion = 42;           // 16-bit, 0
constexpr size_t kRootCluster = 44;
constexpr size_t kFsInfoSector = 48;        // 16-bit; 0 or kNoFsInfo: none
constexpr uint16_t kNoFsInfo = 0xFFFF;
constexpr size_t kVolumeId32 = 67;

constexpr char kNtfsName[] = "NTFS    ";
} // namespace bpb

// FAT32 FSInfo sector.
namespace fsinfo {
constexpr size_t kLeadSignature = 0;        // "RRaA"
constexpr size_t kStructSignature = 484;    // "rrAa"
constexpr size_t kFreeCount = 488;
constexpr size_t kNextFree = 492;
constexpr size_t kTrailSignature = 508;     // 32-bit, kTrailValue
constexpr uint32_t kTrailValue = 0xAA550000u;
constexpr uint32_t kUnknown = 0xFFFFFFFFu;  // the free count or hint is not known
constexpr char kLeadText[] = "RRaA";
constexpr char kStructText[] = "rrAa";
} // namespace fsinfo

// exFAT boot sector.
namespace exfatboot {
constexpr char kFileSystemName[] = "EXFAT   ";   // at bpb::kOemName
constexpr size_t kMustBeZero = 11;          // zero bytes where FAT has its BPB
constexpr size_t kVolumeLength = 72;        // 64-bit, in sectors
constexpr size_t kVolumeLengthHigh = 76;    // its high 32 bits
constexpr size_t kFatOffset = 80;           // sectors from the boot sector
constexpr size_t kFatLength = 84;           // sectors
constexpr size_t kClusterHeapOffset = 88;   // sectors from the boot sector
constexpr size_t kClusterCount = 92;
constexpr size_t kFirstClusterOfRoot = 96;
constexpr size_t kVolumeSerial = 100;
constexpr size_t kVolumeFlags = 106;        // 16-bit
constexpr uint16_t kActiveFat = 1;          // flag: the second FAT and bitmap are in use
constexpr size_t kBytesPerSectorShift = 108;
constexpr size_t kSectorsPerClusterShift = 109;
constexpr size_t kNumberOfFats = 110;
constexpr size_t kPercentInUse = 112;
} // namespace exfatboot

// FAT directory entry. The library keeps exFAT files in this layout too.
namespace direntry {
constexpr size_t kSize = 32;
constexpr size_t kName = 0;                 // 8 characters, blank-padded
constexpr size_t kNameLength = 8;
constexpr size_t kExtension = 8;            // 3 characters, blank-padded
constexpr size_t kShortNameLength = 11;
constexpr size_t kAttributes = 11;
constexpr size_t kCaseFlags = 12;
constexpr uint8_t kLowerCaseName = 0x08;
constexpr uint8_t kLowerCaseExtension = 0x10;
constexpr size_t kCreateTenths = 13;        // also the size's high byte (large-file rule)
constexpr size_t kCreateTime = 14;          // 32-bit: time, then date
constexpr size_t kAccessDate = 18;
constexpr size_t kFirstClusterHigh = 20;
constexpr size_t kWriteTime = 22;           // 32-bit: time, then date
constexpr size_t kWriteDate = 24;
constexpr size_t kFirstClusterLow = 26;
constexpr size_t kFileSize = 28;            // low 32 bits

// The first name byte.
constexpr uint8_t kEndOfDirectory = 0x00;
constexpr uint8_t kDeleted = 0xE5;
constexpr uint8_t kDeletedEscape = 0x05;    // a name that starts with 0xE5

// Large-file rule: creation-time seconds of kLargeFileMark mark a size whose
// high byte is kCreateTenths; else tenths from kLargeFileTenths on count it.
constexpr uint32_t kLargeFileMarkMask = 0x1F;
constexpr uint32_t kLargeFileMark = 0x1E;
constexpr uint8_t kLargeFileTenths = 200;

// An exFAT file as the library keeps it: name byte 0 is 0 and the name bytes
// from kImageSizeHigh hold the size's high 32 bits.
constexpr size_t kImageSizeHigh = 2;

// The date and time the root folder's made-up entry carries.
constexpr uint16_t kRootDate = 0x3421;
} // namespace direntry

// Attribute bits of a directory entry (direntry::kAttributes).
enum : uint8_t {
    ATTR_READONLY = 0x01,
    ATTR_VOLUME = 0x08,
    ATTR_DIRECTORY = 0x10,
    ATTR_ARCHIVE = 0x20,
    ATTR_NOFATCHAIN = 0x40,     // the library's own: an exFAT file stored without a FAT chain
    ATTR_LFN = 0x0F,            // a long-name part
};

// FAT long-name part (an entry whose attributes are ATTR_LFN).
namespace lfn {
constexpr size_t kOrdinal = 0;              // kLastPart | sequence number
constexpr uint8_t kLastPart = 0x40;
constexpr uint8_t kSequenceMask = 0x3F;
constexpr size_t kChecksum = 13;
constexpr int kCharsPerPart = 13;
// Byte offsets of the UTF-16 characters, in name order.
constexpr size_t kCharOffsets[kCharsPerPart] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr uint16_t kPadding = 0xFFFF;
} // namespace lfn

// exFAT directory entries.
namespace exfatdir {
constexpr uint8_t kEndOfDirectory = 0x00;
constexpr uint8_t kTypeBitmap = 0x81;
constexpr uint8_t kTypeUpcase = 0x82;
constexpr uint8_t kTypeFile = 0x85;
constexpr uint8_t kTypeStream = 0xC0;
constexpr uint8_t kTypeName = 0xC1;

// File entry.
constexpr size_t kSecondaryCount = 1;
constexpr size_t kSetChecksum = 2;          // 16-bit, over the whole set
constexpr size_t kFileAttributes = 4;       // 16-bit, the FAT attribute bits
constexpr uint16_t kAttributeMask = 0x3F;
constexpr size_t kCreateTimestamp = 8;
constexpr size_t kModifyTimestamp = 12;
constexpr size_t kAccessTimestamp = 16;

// Stream extension entry.
constexpr size_t kGeneralFlags = 1;         // kAllocationPossible, kNoFatChain
constexpr uint8_t kAllocationPossible = 0x01;
constexpr uint8_t kNoFatChain = 0x02;
constexpr size_t kNameLength = 3;
constexpr size_t kNameHash = 4;
constexpr size_t kValidDataLength = 8;
constexpr size_t kFirstCluster = 20;        // also in bitmap and up-case table entries
constexpr size_t kDataLength = 24;          // 64-bit; also in bitmap and up-case table entries

// File name entry.
constexpr size_t kFileName = 2;             // UTF-16
constexpr uint32_t kNameCharsPerEntry = 15;

// The up-case table: a value of kUpcaseRun is followed by the length of a
// run of characters that map to themselves.
constexpr uint16_t kUpcaseRun = 0xFFFF;
constexpr uint64_t kUpcaseTableMax = 131072;    // 65536 values
} // namespace exfatdir

// FAT entry values, widened to 32 bits by GetClusterValue.
namespace fatentry {
constexpr uint32_t kFat12Marks = 0xFF7;     // from here on: bad cluster, reserved, end of chain
constexpr uint32_t kFat16Marks = 0xFFF7;
constexpr uint32_t kFat32Mask = 0x0FFFFFFFu;   // the top four bits are not part of the value
constexpr uint32_t kFat32Marks = 0x0FFFFFF7u;
constexpr uint32_t kReservedValue = 1;      // never a link
} // namespace fatentry
