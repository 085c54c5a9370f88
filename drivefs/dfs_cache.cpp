// Sector buffer cache: the LRU ring, current and alternate buffers, the
// sequential hint and the read-ahead area.
#include "dfs_cache.h"

#include <cstring>

#include "dfs_device.h"
#include "drivefs.h"

DfsBuffer* g_bufferHead = nullptr;
DfsBuffer* g_sequentialHint = nullptr;
DfsDevice* g_l2Owner = nullptr;

namespace {
void CheckLocked()
{
    DfsMutex* m = g_globalMutex.load();
    if (!m || !m->OwnedByCaller())
        FatalError("Attempt access buffers without locking", 1);
}

void Unlink(DfsBuffer* b)
{
    b->previous->next = b->next;
    b->next->previous = b->previous;
}

void InsertBeforeHead(DfsBuffer* b)
{
    DfsBuffer* head = g_bufferHead;
    b->next = head;
    b->previous = head->previous;
    head->previous->next = b;
    head->previous = b;
}

// The ring keeps valid buffers ahead of free ones: past the first free
// buffer none may carry flags.
void CheckNoValidBufferAfter(DfsBuffer* firstFree)
{
    for (DfsBuffer* c = firstFree->next; c != g_bufferHead; c = c->next)
        if (c->flags)
            FatalError("Buffer with flags after last valid buffer", 1);
}

void Invalidate(DfsBuffer* b)
{
    b->flags = 0;
    BufferMoveToTail(b);
}
}

void InitBuffers()
{
    const DriveFsData& d = g_driveFsData;
    if (d.version != kDriveFsVersion)
        FatalError("DriveFsData version mismatch", 1);
    if (d.fileSlotCount > 65536)
        FatalError("Too many file handles", 1);
    if (!g_bufferHead)
        g_bufferHead = BuildBufferRing(d.bufferCount, d.bufferSize, d.bufferHeaders, d.bufferData);
}

DfsBuffer* BuildBufferRing(uint32_t count, uint32_t bufferSize, DfsBuffer* headers, uint8_t* data)
{
    for (uint32_t i = 0; i < count; ++i) {
        DfsBuffer& b = headers[i];
        b = DfsBuffer {};
        b.data = data + size_t(i) * bufferSize;
        b.next = &headers[(i + 1) % count];
        b.previous = &headers[(i + count - 1) % count];
    }
    return &headers[0];
}

void BufferMoveToFront(DfsBuffer* b)
{
    if (b == g_bufferHead)
        return;
    Unlink(b);
    InsertBeforeHead(b);
    g_bufferHead = b;
}

void BufferMoveToTail(DfsBuffer* b)
{
    if (b == g_bufferHead) {
        g_bufferHead = b->next;
        return;
    }
    if (b == g_bufferHead->previous)
        return;
    Unlink(b);
    InsertBeforeHead(b);
}

void ReleaseCurrentBuffer(DfsDevice* device)
{
    if (DfsBuffer* b = device->currentBuffer) {
        b->flags &= ~BUF_INUSE;
        device->currentBuffer = nullptr;
    }
}

void LoadBuffer(DfsBuffer* buffer)
{
    ReadDeviceSectors(buffer->device, buffer->data, buffer->sector, 1, 0);
    buffer->flags |= BUF_VALID;
}

uint8_t* GetSectorBuffer(DfsDevice* device, uint64_t sector, uint32_t flags)
{
    CheckLocked();
    if (device->altBuffer)
        FatalError("AltBuffer not freed", 1);
    // A sector larger than a buffer would overrun it.
    if (device->sectorSize == 0 || device->sectorSize > g_driveFsData.bufferSize)
        RaiseError(DFS_E_INVALID_SECTOR_SIZE);
    if (!(flags & GSB_ALTERNATE)) {
        DfsBuffer* cur = device->currentBuffer;
        if (cur && cur->sector == sector && (cur->flags & BUF_VALID))
            return cur->data;
        ReleaseCurrentBuffer(device);
    }

    bool readAheadTried = false;
    DfsBuffer* found = nullptr;
    DfsBuffer* taken = nullptr;
    for (;;) {
        DfsBuffer* hint = g_sequentialHint;
        if (hint && hint->device == device && hint->sector == sector && (hint->flags & BUF_VALID)
            && !(hint->flags & BUF_INUSE)) {
            hint->flags |= BUF_INUSE;
            g_sequentialHint = hint->previous;
            found = hint;
            break;
        }
        bool again = false;
        DfsBuffer* b = g_bufferHead;
        do {
            if (b->flags == 0) {
                CheckNoValidBufferAfter(b);
                if (flags != 0 || readAheadTried || ReadAheadIntoL2(device, sector) < 0)
                    taken = b;
                else
                    again = true;
                readAheadTried = true;
                break;
            }
            if (b->device == device && b->sector == sector) {
                if (b->flags & BUF_INUSE)
                    FatalError("Buffer allocated twice", 1);
                if (!(b->flags & BUF_VALID))
                    FatalError("allocating invalid buffer", 1);
                b->flags |= BUF_INUSE;
                g_sequentialHint = b->previous;
                found = b;
                break;
            }
            b = b->next;
        } while (b != g_bufferHead);
        if (found || taken)
            break;
        if (again)
            continue;
        // A miss with every buffer valid.
        if (flags == 0 && !readAheadTried) {
            readAheadTried = true;
            if (ReadAheadIntoL2(device, sector) == 0)
                continue;
        }
        DfsBuffer* tail = g_bufferHead->previous;
        b = tail;
        do {
            if (!(b->flags & BUF_INUSE)) {
                taken = b;
                break;
            }
            b = b->previous;
        } while (b != tail);
        if (!taken)
            RaiseError(DFS_E_OUT_OF_BUFFERS);
        break;
    }

    if (taken) {
        if (g_sequentialHint == taken)
            g_sequentialHint = nullptr;
        taken->device = device;
        taken->sector = sector;
        taken->flags = BUF_INUSE;
        if (flags & GSB_NO_READ) {
            taken->flags |= BUF_VALID;
        } else {
            int32_t r = Protected([&] { LoadBuffer(taken); },
                      [&](ExceptionFrame&) {
                          taken->flags = 0;
                          BufferMoveToTail(taken);
                      },
                      [] {});
            if (r < 0)
                RaiseError(r);
        }
        found = taken;
    }
    BufferMoveToFront(found);
    if (flags & GSB_ALTERNATE)
        device->altBuffer = found;
    else
        device->currentBuffer = found;
    return found->data;
}

int32_t ReadAheadIntoL2(DfsDevice* device, uint64_t first)
{
    const DriveFsData& d = g_driveFsData;
    if (!d.l2Area || g_l2Owner)
        return DFS_E_OUT_OF_BUFFERS;
    uint32_t n = d.l2Size >> device->sectorShift;
    uint32_t quarter = d.bufferCount / 4;
    if (quarter < n)
        n = quarter;
    else if (n < 2)
        return DFS_E_OUT_OF_BUFFERS;
    if (n == 0)
        return DFS_E_OUT_OF_BUFFERS;
    DfsBuffer* b = g_bufferHead;
    do {
        if (!(b->flags & BUF_VALID))
            break;
        if (b->device == device && b->sector >= first && b->sector - first < n)
            return DFS_E_OUT_OF_BUFFERS;
        b = b->next;
    } while (b != g_bufferHead);

    int32_t result = 0;
    g_l2Owner = device;
    Protected(
        [&] {
            ReadDeviceSectors(device, d.l2Area, first, n, 0);
            DfsBuffer* firstBuffer = nullptr;
            for (uint32_t i = 0; i < n; ++i) {
                uint8_t* data = GetSectorBuffer(device, first + i, GSB_NO_READ | GSB_NO_READAHEAD);
                DfsBuffer* cur = device->currentBuffer;
                std::memcpy(data, d.l2Area + size_t(i) * device->sectorSize, device->sectorSize);
                if (i == 0)
                    firstBuffer = cur;
                ReleaseCurrentBuffer(device);
            }
            g_sequentialHint = firstBuffer;
        },
        [&](ExceptionFrame& f) {
            result = f.code;
            HandleException(&f);
        },
        [&] { g_l2Owner = nullptr; });
    return result;
}

void DiscardCurrentBuffer(DfsDevice* device)
{
    DfsBuffer* b = device->currentBuffer;
    if (!b)
        FatalError("Can't discard non-current buffer", 1);
    Invalidate(b);
    device->currentBuffer = nullptr;
}

void DiscardAltBuffer(DfsDevice* device)
{
    if (DfsBuffer* b = device->altBuffer) {
        Invalidate(b);
        device->altBuffer = nullptr;
    }
}

void DropCachedSectors(DfsDevice* device, uint64_t first, uint64_t count)
{
    CheckLocked();
    bool again = true;
    while (again) {
        again = false;
        DfsBuffer* b = g_bufferHead;
        do {
            if (!(b->flags & BUF_VALID))
                break;
            DfsBuffer* next = b->next;
            if (b->device == device && b->sector >= first && b->sector - first < count) {
                if (b == device->currentBuffer)
                    DiscardCurrentBuffer(device);
                else
                    Invalidate(b);
                again = true;
                break;
            }
            b = next;
        } while (b != g_bufferHead);
    }
}

void InvalidateDeviceBuffers(DfsDevice* device)
{
    if (!g_bufferHead)
        return;
    ReleaseCurrentBuffer(device);
    DiscardAltBuffer(device);
    bool again = true;
    while (again) {
        again = false;
        DfsBuffer* b = g_bufferHead;
        do {
            if (b->flags == 0) {
                CheckNoValidBufferAfter(b);
                break;
            }
            if (b->device == device) {
                Invalidate(b);
                again = true;
                break;
            }
            b = b->next;
        } while (b != g_bufferHead);
    }
    if (g_sequentialHint && g_sequentialHint->device == device)
        g_sequentialHint = nullptr;
}
