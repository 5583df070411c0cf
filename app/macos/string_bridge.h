#pragma once

#import <Foundation/Foundation.h>

#include <string>
#include <string_view>

namespace corvane::macos {

// The core speaks UTF-8 std::string; AppKit speaks NSString. These convert at
// the boundary and never fail: bytes that are not UTF-8 are read as Mac OS
// Roman, as the output decoder does, so no caller ever sees nil.
NSString* ToNSString(std::string_view text);

// nil, or a string with no UTF-8 form, gives "".
std::string ToStdString(NSString* text);

}  // namespace corvane::macos
