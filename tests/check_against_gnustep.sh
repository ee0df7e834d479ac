#!/bin/sh
# Runs the syntax-only Objective-C++ compile in the arguments (against GNUstep's Foundation,
# with -Werror -Wno-error=objc-method-access) and fails on any error or warning, with one
# exception: GNUstep declares NSAppleScript with no methods at all, so the two messages the
# macOS runner sends it warn here though macOS declares them. Those two are let through when
# sent to an NSAppleScript; a misspelt or unknown method on any other class still fails, which
# a plain -Wno-objc-method-access would let pass.
set -u

output=$("$@" 2>&1)
status=$?
[ -n "$output" ] && printf '%s\n' "$output"

if [ "$status" -ne 0 ]; then
    echo "check_against_gnustep: the compile failed" >&2
    exit 1
fi

# Each method-access warning must name one of the two methods and be followed, before any other
# diagnostic, by the note that the receiver is an NSAppleScript.
printf '%s\n' "$output" | awk '
    / (warning|error|note): / {
        if (pending && $0 ~ / note: receiver is instance of class declared here$/ && $0 ~ /\/Foundation\/NSAppleScript\.h:/)
        {
            pending = 0
            next
        }
        if (pending)
            bad = 1
        pending = 0
    }
    / warning: instance method .-(initWithSource:|executeAndReturnError:). not found .*\[-Wobjc-method-access\]$/ {
        pending = 1
        next
    }
    / warning: / { bad = 1 }
    END { exit (bad || pending) }
' || {
    echo "check_against_gnustep: a warning other than NSAppleScript's missing methods" >&2
    exit 1
}
