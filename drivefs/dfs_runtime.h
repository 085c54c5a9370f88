// Volume library runtime: protected blocks over per-thread exception frames,
// the fatal-error path and recursive mutexes that know their owner.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

// Ends the process: "DriveFs Error: <text>" on standard error, then exit with
// the code (a code whose low byte is 0 becomes 1, so a crash never reads as success).
[[noreturn]] void FatalError(const char* text, int exitCode);
// Debug output; goes through g_dfsDebugHook (standard error unless replaced).
void DebugMessage(const char* text);
extern void (*g_dfsDebugHook)(const char* text);

// Where a protected block is: a raise in the body goes to the handler, one in
// the handler to the final part, and one in the final part is fatal.
enum : int32_t { FRAME_BODY = 0, FRAME_HANDLER = 1, FRAME_FINAL = 2 };

// One frame per protected block, chained per thread.
struct ExceptionFrame {
    ExceptionFrame* previous = nullptr;
    int32_t code = 0;
    int32_t state = FRAME_BODY;
    int32_t completed = 1;  // cleared by a raise, set again when handled
};

// C++ exceptions that carry control back to the innermost protected block.
struct DfsRaised {};
struct DfsReExecute {};

[[noreturn]] void RaiseError(int32_t code);
void PushExceptionFrame(ExceptionFrame* frame);
void PopExceptionFrame(ExceptionFrame* frame);
ExceptionFrame* TopExceptionFrame();
void HandleException(ExceptionFrame* frame);
[[noreturn]] void XReExecute();

// Runs body; on a raise runs handler(frame) (which may HandleException,
// XReExecute or leave the code pending); the final part runs exactly once on
// every path. Returns 0 when completed; an unhandled code is raised again in
// the enclosing block, or returned when there is none.
//
// Any other C++ exception (std::bad_alloc) passes through: the final part
// still runs and the frame leaves the chain, so that the blocks around it do
// not take a dead frame for their own.
template <typename Body, typename Handler, typename Final>
int32_t Protected(Body&& body, Handler&& handler, Final&& finalPart)
{
    ExceptionFrame frame;
    PushExceptionFrame(&frame);
    struct LeaveChainOnUnwind {
        ExceptionFrame* frame;
        ~LeaveChainOnUnwind()
        {
            if (TopExceptionFrame() == frame)
                PopExceptionFrame(frame);
        }
    } leave{&frame};
    try {
        for (;;) {
            try {
                body();
                break;
            } catch (const DfsRaised&) {
            } catch (const DfsReExecute&) {
                continue;
            }
            try {
                handler(frame);
                break;
            } catch (const DfsReExecute&) {
                continue;
            } catch (const DfsRaised&) {
                break;  // raised within the handler: on to the final part
            }
        }
    } catch (...) {
        frame.state = FRAME_FINAL;
        finalPart();
        throw;
    }
    if (TopExceptionFrame() != &frame || frame.state < FRAME_BODY || frame.state > FRAME_FINAL)
        FatalError("Corrupted exception handler chain", 1);
    frame.state = FRAME_FINAL;
    finalPart();
    PopExceptionFrame(&frame);
    if (frame.completed)
        return 0;
    if (frame.previous)
        RaiseError(frame.code);
    return frame.code;
}

template <typename Body, typename Final>
int32_t ProtectedFinally(Body&& body, Final&& finalPart)
{
    return Protected(body, [](ExceptionFrame&) {}, finalPart);
}

// Recursive mutex; leaving one the caller does not own is fatal.
class DfsMutex {
public:
    explicit DfsMutex(const char* name);
    void Enter();
    void Leave();
    bool OwnedByCaller() const;
    const char* Name() const { return m_name; }

private:
    std::mutex m_mutex;
    std::atomic<std::thread::id> m_owner;
    int m_depth = 0;
    char m_name[16];
};

// Atomically stores 1 and returns the previous value.
uint8_t TestAndSetByte(volatile uint8_t* byte);
