#pragma once

#include "Ids.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace updater {

// What a message box says, so that a front end never compares texts to learn it.
enum class MessageKind
{
    Success,      // "Download file success!"
    TimeOut,      // "time out！"
    FileRefused,  // the firmware file was refused before anything was sent
    FileFailed,   // the firmware file failed while the job was sending it
    LinkError,    // a link could not be opened or was lost (front ends only)
    Precondition, // DownLoad without a link or without a file
};

// Everything the update engine needs from the world around it. The window, the
// command-line updater and the tests each implement it.
//
// Except for showMessage, every call is made with the job lock held and may come
// from any thread (the supervisor, a link's receiving thread, the UI thread): an
// implementation must return at once, must never wait for another thread and
// must not call the job back (the lock is not recursive); what it needs of the
// job comes as arguments.
class IJobHost
{
public:
    virtual ~IJobHost() = default;

    // Send on the current link: hand one unit (1 to 1029 bytes) to the link chosen
    // last. Fire and forget; the job notices a lost unit only by its time-out.
    // jobState is the state the job was in when it sent the unit.
    virtual void sendBlock(const std::uint8_t *data, std::size_t length, std::int32_t jobState) = 0;

    // Set the text of a line of the form (UTF-8).
    virtual void setLineText(StatusLine line, const std::string &text) = 0;

    // Show the progress bar with range 0..100 at position 0, or hide it.
    virtual void setProgressVisible(bool visible) = 0;

    // Move the progress bar. The value is a percentage that may exceed 100 by the
    // protocols' estimate; the display clamps it.
    virtual void setProgressPos(std::uint32_t percent) = 0;

    // Show a message box with an OK button only and return when it was closed.
    // Called without the job lock held, on the thread that runs the step.
    virtual void showMessage(MessageKind kind, const std::string &text) = 0;

    // The job's idle flag changed: Open, Set Port and DownLoad are enabled exactly
    // while it is true.
    virtual void idleChanged(bool idle) { (void)idle; }
};

// Where a link hands every received byte, one at a time, in arrival order.
class IByteSink
{
public:
    virtual ~IByteSink() = default;
    virtual void receiveByte(std::uint8_t byte) = 0;
};

} // namespace updater
