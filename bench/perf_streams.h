#pragma once
// Streams per machine: independent filters, one per thread, on one core and
// on every core; frames per second and real-time streams.
#include "bench/perf_common.h"
#include "host/sdk/host_api.h"

void streamsSection(Report& r, zelta::PluginHost& host, const Frames& frames, int firstCore);
