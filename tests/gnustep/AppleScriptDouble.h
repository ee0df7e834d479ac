#pragma once

#include <functional>
#include <string>
#include <vector>

/** The stand-in for NSAppleScript that the macOS runner meets here, and what it saw of the
    runner. Plain C++, so that the tests need no Objective-C.
*/
namespace applescriptdouble
{
/** Instances of one class: how many were made, how many freed, and how many messages (a
    release, a run) reached one already freed. A freed instance keeps its memory, so that such
    a message still reaches the count.
*/
struct InstanceCount
{
    int allocated = 0;
    int deallocated = 0;
    int messagedAfterDealloc = 0;
};

/** Forgets all that was seen so far; the next runs succeed. */
void reset();

/** Whether the runs from now on succeed (a descriptor) or fail (nil, with error info). */
void setRunsSucceed (bool succeed);

/** The UTF-8 bytes of the source of each run, in order: the source that initWithSource: got
    for the object that then ran.
*/
std::vector<std::string> sourcesRun();

InstanceCount appleScripts();
InstanceCount osxMethodsObjects();

/** Calls the function inside an autorelease pool of its own, as the platform's run loop
    calls an event handler.
*/
void inAutoreleasePool (const std::function<void()>& function);
} // namespace applescriptdouble
