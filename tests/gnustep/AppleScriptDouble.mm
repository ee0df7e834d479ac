#include "AppleScriptDouble.h"

#import "AppleScriptMethods.h"

#include <map>
#include <set>

// Built without ARC, as the runner is, so that every release counted below is the runner's own.

namespace
{
// Every instance of one class that was allocated and then freed. The memory of a freed one is
// kept, so that a message sent to it later still finds its class, and is counted, rather than
// landing on whatever took its place.
struct Instances
{
    void allocated() { ++count.allocated; }

    void deallocated (id object)
    {
        ++count.deallocated;
        freed.insert (object);
    }

    // True, and counted, when the object was freed before this message.
    bool messagedAfterDealloc (id object)
    {
        if (freed.count (object) == 0)
            return false;

        ++count.messagedAfterDealloc;
        return true;
    }

    applescriptdouble::InstanceCount count;
    std::set<id> freed;
};

Instances appleScriptInstances;
Instances osxMethodsInstances;
std::map<id, std::string> sourceOfAppleScript;
std::vector<std::string> runSources;
bool runsSucceed = true;
} // namespace

@implementation NSAppleScript (AppleScriptMethods)

+ (id)allocWithZone:(NSZone*)zone
{
    appleScriptInstances.allocated();
    return [super allocWithZone:zone];
}

- (instancetype)initWithSource:(NSString*)source
{
    if ((self = [super init]) != nil)
        sourceOfAppleScript[self] = source != nil ? [source UTF8String] : "<nil source>";

    return self;
}

- (NSAppleEventDescriptor*)executeAndReturnError:(NSDictionary**)errorInfo
{
    if (appleScriptInstances.messagedAfterDealloc (self))
        return nil;

    const auto source = sourceOfAppleScript.find (self);
    runSources.push_back (source != sourceOfAppleScript.end() ? source->second : "<run without a source>");

    if (runsSucceed)
        return [[[NSAppleEventDescriptor alloc] init] autorelease];

    // What macOS hands back when the user cancels the password prompt.
    if (errorInfo != nullptr)
        *errorInfo = [NSDictionary dictionaryWithObjectsAndKeys:@"User canceled.", @"NSAppleScriptErrorMessage",
                                                                [NSNumber numberWithInt:-128], @"NSAppleScriptErrorNumber", nil];

    return nil;
}

- (oneway void)release
{
    if (! appleScriptInstances.messagedAfterDealloc (self))
        [super release];
}

#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wobjc-missing-super-calls"
- (void)dealloc
{
    appleScriptInstances.deallocated (self);
}
#pragma clang diagnostic pop

@end

// The runner's class, as far as counting its instances needs: the runtime finds it by name.
@interface OSXMethods : NSObject
@end

@implementation OSXMethods (InstanceCount)

+ (id)allocWithZone:(NSZone*)zone
{
    osxMethodsInstances.allocated();
    return [super allocWithZone:zone];
}

- (oneway void)release
{
    if (! osxMethodsInstances.messagedAfterDealloc (self))
        [super release];
}

#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wobjc-missing-super-calls"
- (void)dealloc
{
    osxMethodsInstances.deallocated (self);
}
#pragma clang diagnostic pop

@end

namespace applescriptdouble
{
void reset()
{
    appleScriptInstances.count = {};
    osxMethodsInstances.count = {};
    sourceOfAppleScript.clear();
    runSources.clear();
    runsSucceed = true;
}

void setRunsSucceed (bool succeed) { runsSucceed = succeed; }

std::vector<std::string> sourcesRun() { return runSources; }

InstanceCount appleScripts() { return appleScriptInstances.count; }
InstanceCount osxMethodsObjects() { return osxMethodsInstances.count; }

void inAutoreleasePool (const std::function<void()>& function)
{
    NSAutoreleasePool* pool = [[NSAutoreleasePool alloc] init];
    function();
    [pool drain];
}
} // namespace applescriptdouble
