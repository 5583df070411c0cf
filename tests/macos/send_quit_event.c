// Sends a running application a quit Apple Event, its reason given as the
// system gives a logout's (an attribute of type 'type') or as a script would
// (a parameter of type 'enum'), waits for the answer and prints one number:
// the error the application answered with (0 for none, -128 for a quit it
// cancelled) or why the event got no answer (-609 when the application ended
// first, -1743 when the system does not let this process send it events).
// For tests/macos/quit_reasons.sh; built there with the system's compiler.
//
//   send_quit_event PID attribute|parameter CODE   (CODE: four characters, e.g. rlgo)
//   send_quit_event PID none                       (a quit without a reason)
#include <CoreServices/CoreServices.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  const int reasoned = argc == 4 && strlen(argv[3]) == 4 &&
                       (strcmp(argv[2], "attribute") == 0 || strcmp(argv[2], "parameter") == 0);
  if (!reasoned && !(argc == 3 && strcmp(argv[2], "none") == 0)) {
    fprintf(stderr, "usage: send_quit_event PID attribute|parameter CODE | PID none\n");
    return 64;
  }
  pid_t pid = (pid_t)strtol(argv[1], NULL, 10);
  AEAddressDesc target = {typeNull, NULL};
  AppleEvent event = {typeNull, NULL};
  AppleEvent reply = {typeNull, NULL};
  OSStatus status = AECreateDesc(typeKernelProcessID, &pid, sizeof pid, &target);
  if (status == noErr) {
    status = AECreateAppleEvent(kCoreEventClass, kAEQuitApplication, &target, kAutoGenerateReturnID,
                                kAnyTransactionID, &event);
  }
  if (status == noErr && reasoned) {
    const unsigned char* c = (const unsigned char*)argv[3];
    const OSType reason = (OSType)c[0] << 24 | (OSType)c[1] << 16 | (OSType)c[2] << 8 | c[3];
    status = strcmp(argv[2], "attribute") == 0
                 ? AEPutAttributePtr(&event, kAEQuitReason, typeType, &reason, sizeof reason)
                 : AEPutParamPtr(&event, kAEQuitReason, typeEnumerated, &reason, sizeof reason);
  }
  if (status != noErr) {
    fprintf(stderr, "send_quit_event: cannot make the event: %d\n", (int)status);
    return 1;
  }
  // Long enough for a consent prompt nobody answers to show as a time-out.
  status = AESendMessage(&event, &reply, kAEWaitReply, 30 * 60);
  SInt32 answered = 0;
  if (status == noErr) {
    (void)AEGetParamPtr(&reply, keyErrorNumber, typeSInt32, NULL, &answered, sizeof answered, NULL);
  }
  printf("%d\n", status != noErr ? (int)status : (int)answered);
  AEDisposeDesc(&reply);
  AEDisposeDesc(&event);
  AEDisposeDesc(&target);
  return 0;
}
