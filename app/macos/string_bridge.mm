#import "string_bridge.h"

namespace corvane::macos {

NSString* ToNSString(std::string_view text) {
  if (text.empty()) return @"";
  // initWithBytes:length: rather than stringWithUTF8String:, which stops at an
  // embedded NUL and gives nil for invalid UTF-8.
  NSString* string = [[NSString alloc] initWithBytes:text.data()
                                              length:text.size()
                                            encoding:NSUTF8StringEncoding];
  if (string == nil) {
    string = [[NSString alloc] initWithBytes:text.data()
                                      length:text.size()
                                    encoding:NSMacOSRomanStringEncoding];
  }
  if (string == nil) return @"";
#if !__has_feature(objc_arc)
  // As ARC gives it: owned by the autorelease pool, not by the caller.
  [string autorelease];
#endif
  return string;
}

std::string ToStdString(NSString* text) {
  const char* utf8 = [text UTF8String];
  return utf8 != nullptr ? std::string(utf8) : std::string();
}

}  // namespace corvane::macos
