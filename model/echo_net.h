#pragma once
// The embedded echo-cancellation model: its constant weight and layer tables
// and the builder that turns them into a ready-to-warm-up net.
#include <cstdint>

#include "ynet/net.h"
#include "ynet/records.h"

constexpr uint32_t kWeightRecordCount = 93;
constexpr uint32_t kLayerRecordCount = 115;

// The two tables, back to back in memory: the layer records start right
// where the weight records end. Every weight record's data points into the
// embedded half-precision blob.
const YNet::WeightRecord* WeightTable();
const YNet::LayerRecord* LayerTable();

// Selector 0 builds the net for the x86 run environment; any other selector
// returns null. The caller owns the net.
YNet::Net* buildEchoCancellationNet(uint32_t selector);
