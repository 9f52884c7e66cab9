#include "hsif/driver_binding.h"

RawSample g_raw_samples[kRawBufferSlots];
ProcessedSample g_processed_samples[kProcessedStoreRecords];
