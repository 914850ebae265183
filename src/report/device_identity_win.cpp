// Placeholder until the hardware fingerprint lands: the identifier stays empty.
#include "report/device_identity.h"

void initDeviceId() {}
