#pragma once

// GNUstep's Foundation declares NSAppleScript with no methods at all. These are the two that
// macOS's Foundation declares and the runner sends; the build includes this ahead of the
// runner's own source, so that it compiles against them as on macOS, under -Werror.

#import <Foundation/Foundation.h>

@interface NSAppleScript (AppleScriptMethods)
- (instancetype)initWithSource:(NSString*)source;
- (NSAppleEventDescriptor*)executeAndReturnError:(NSDictionary**)errorInfo;
@end
