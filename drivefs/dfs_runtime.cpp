// Volume library runtime: exception frames, the fatal-error path and the
// recursive mutexes.
#include "dfs_runtime.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
thread_local ExceptionFrame* t_exceptionChain = nullptr;

void StderrDebug(const char* text)
{
    std::fprintf(stderr, "%s\n", text);
}
}

void (*g_dfsDebugHook)(const char* text) = StderrDebug;

void FatalError(const char* text, int exitCode)
{
    if (text)
        std::fprintf(stderr, "DriveFs Error: %s\n", text);
    // _exit skips the flush at exit: what the program printed so far stays.
    std::fflush(nullptr);
    int status = exitCode & 0xFF;
    if (status == 0)
        status = 1;
    _exit(status);
}

void DebugMessage(const char* text)
{
    if (g_dfsDebugHook && text)
        g_dfsDebugHook(text);
}

void RaiseError(int32_t code)
{
    if (code >= 0)
        FatalError("Cannot raise positive error code", code);
    ExceptionFrame* frame = t_exceptionChain;
    if (!frame)
        FatalError("Unhandled DriveFs exception", code);
    frame->completed = 0;
    switch (frame->state) {
    case FRAME_BODY:
        frame->code = code;
        frame->state = FRAME_HANDLER;
        throw DfsRaised();
    case FRAME_HANDLER:
        frame->code = code;
        frame->state = FRAME_FINAL;
        throw DfsRaised();
    case FRAME_FINAL:
        FatalError("Raise within finally", 1);
    default:
        FatalError("Corrupted exception handler chain", 1);
    }
}

void PushExceptionFrame(ExceptionFrame* frame)
{
    frame->previous = t_exceptionChain;
    frame->code = 0;
    frame->state = FRAME_BODY;
    frame->completed = 1;
    t_exceptionChain = frame;
}

void PopExceptionFrame(ExceptionFrame* frame)
{
    if (t_exceptionChain != frame)
        FatalError("Corrupted exception handler chain", 1);
    t_exceptionChain = frame->previous;
}

ExceptionFrame* TopExceptionFrame()
{
    return t_exceptionChain;
}

void HandleException(ExceptionFrame* frame)
{
    if (!frame || frame->state != FRAME_HANDLER)
        FatalError("Internal: exception handled outside handler", 1);
    frame->code = 0;
    frame->state = FRAME_BODY;
    frame->completed = 1;
}

void XReExecute()
{
    ExceptionFrame* frame = t_exceptionChain;
    if (!frame)
        FatalError("no exception handler frame in XReExecute", 1);
    frame->code = 0;
    frame->state = FRAME_BODY;
    frame->completed = 1;
    throw DfsReExecute();
}

DfsMutex::DfsMutex(const char* name)
{
    std::snprintf(m_name, sizeof m_name, "%s", name ? name : "");
}

void DfsMutex::Enter()
{
    if (m_owner.load() == std::this_thread::get_id()) {
        ++m_depth;
        return;
    }
    m_mutex.lock();
    m_owner.store(std::this_thread::get_id());
    m_depth = 1;
}

void DfsMutex::Leave()
{
    if (m_owner.load() != std::this_thread::get_id())
        FatalError("Attempt to free not owned mutex", 1);
    if (--m_depth == 0) {
        m_owner.store(std::thread::id());
        m_mutex.unlock();
    }
}

bool DfsMutex::OwnedByCaller() const
{
    return m_owner.load() == std::this_thread::get_id();
}

uint8_t TestAndSetByte(volatile uint8_t* byte)
{
    return __atomic_exchange_n(byte, uint8_t(1), __ATOMIC_SEQ_CST);
}
