#include "OSXMethods.h"

#import <Foundation/Foundation.h>

// Built without ARC: this file releases what it allocates.

@interface OSXMethods : NSObject
- (bool)executeShellScript:(NSString*)script;
@end

@implementation OSXMethods

- (bool)executeShellScript:(NSString*)script
{
    // The same escaped source that every platform builds: a quote or a backslash in the
    // script must not end or bend the AppleScript string.
    const auto sourceText = makeDoShellScriptSource (juce::String::fromUTF8 ([script UTF8String]));
    NSString* source = [NSString stringWithUTF8String:sourceText.toRawUTF8()];

    NSAppleScript* appleScript = [[NSAppleScript alloc] initWithSource:source];
    NSDictionary* errorInfo = nil;
    NSAppleEventDescriptor* result = [appleScript executeAndReturnError:&errorInfo];
    [appleScript release];

    return result != nil;
}

@end

void* createOSXMethods()
{
    return [[OSXMethods alloc] init];
}

void disposeOSXMethods (void* osxMethods)
{
    [(OSXMethods*) osxMethods release];
}

bool executeShellScript (void* osxMethods, const char* utf8Script)
{
    return [(OSXMethods*) osxMethods executeShellScript:[NSString stringWithUTF8String:utf8Script]];
}
