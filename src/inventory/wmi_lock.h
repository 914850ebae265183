// One WMI read at a time in this process. Wine's WMI provider keeps its result tables process-wide
// without a lock, and two reads at once corrupt its heap; on Windows the reads would only compete
// for the same service. Host threads that send device-information reports at once take turns here.
#pragma once

#include <mutex>

std::mutex& wmiReadLock();
