// Sends a running application a quit Apple Event, its reason given as the
// system gives a logout's (an attribute of type 'type') or as a script would
// (a parameter of type 'enum'), waits for the answer and prints one number:
// the error the application answered with (0 for none, -128 for a quit it
// cancelled) or why there was no answer (-609: the application ended first;
// -1743: the system does not let this process send it events).
// For tests/macos/quit_reasons.sh, which builds it with the system's compiler.
//
//   send_quit_event PID attribute|parameter CODE   (CODE: four characters, e.g. rlgo)
//   send_quit_event PID none                       (a quit without a reason)
#include <CoreServices/CoreServices.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  const int reasoned = argc == 4 && strlen(argv[3]) == 4 && strcmp(argv[2], "none") != 0;
  if (argc < 3 || (!reasoned && strcmp(argv[2], "none") != 0)) {
    fprintf(stderr, "usage: send_quit_event PID attribute|parameter CODE | PID none\n");
    return 64;
  }
  pid_t pid = (pid_t)strtol(argv[1], NULL, 10);
  AEAddressDesc target;
  AppleEvent event;
  AppleEvent reply = {typeNull, NULL};
  AECreateDesc(typeKernelProcessID, &pid, sizeof pid, &target);
  AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, &target, kAutoGenerateReturnID,
                     kAnyTransactionID, &event);
  if (reasoned) {
    const unsigned char* c = (const unsigned char*)argv[3];
    const OSType reason = (OSType)c[0] << 24 | (OSType)c[1] << 16 | (OSType)c[2] << 8 | c[3];
    if (strcmp(argv[2], "attribute") == 0) {
      AEPutAttributePtr(&event, kAEQuitReason, typeType, &reason, sizeof reason);
    } else {
      AEPutParamPtr(&event, kAEQuitReason, typeEnumerated, &reason, sizeof reason);
    }
  }
  // Long enough for a consent prompt nobody answers to show as a time-out.
  const OSStatus status = AESendMessage(&event, &reply, kAEWaitReply, 30 * 60);
  SInt32 answered = 0;
  if (status == noErr) {
    AEGetParamPtr(&reply, keyErrorNumber, typeSInt32, NULL, &answered, sizeof answered, NULL);
  }
  printf("%d\n", status != noErr ? (int)status : (int)answered);
  return 0;
}
