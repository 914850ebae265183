// The three report bodies, built on the host's thread and handed to the queue.
#pragma once

constexpr unsigned kBodyBufferBytes = 2048;  // so at most 2047 characters of body
constexpr unsigned kMaxArgumentChars = 63;    // event names and contents

// Each returns 1 when a body was built and queued; 0 with ServiceState::lastErrorCode set otherwise
// (1 not running or no key, 2 no memory, 6 bad argument).
int buildDeviceInfoReport();
// The device-information body from an inventory already read (buildDeviceInfoReport's second half).
struct MachineInventory;
int queueDeviceInfoReport(const MachineInventory& inventory);
int buildAppEventReport(const char* eventName, const char* timestamp);
int buildActionReport(const char* eventName, const char* eventContent);
