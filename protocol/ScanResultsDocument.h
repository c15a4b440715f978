#pragma once
#include "client/XmlDocument.h"
#include "protocol/ScanResultsTable.h"

// The scan-results document: <rf channels="16" thresholds="good/poor excellent/good"> with one
// <ch id pid ed timestamp> per channel 11..26 and up to three older <ed value pid timestamp>
// readings in each, oldest first.
Voxlet::XmlDocumentPtr BuildScanResultsDocument(const ScanResultsTable& table, int thresholdGoodPoor,
                                                int thresholdExcellentGood);
